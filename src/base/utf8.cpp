// UTF-8 well-formedness, with a fast path over ASCII runs (they dominate real tables and names).
#include "base/utf8.h"

#include <cstring>

namespace kv {

bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* s = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t block = 0;
            std::memcpy(&block, s + i, 8);
            if ((block & 0x8080808080808080ull) != 0)
                break;
            i += 8;
        }
        if (i >= n)
            break;
        const std::uint32_t lead = s[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if ((lead & 0xE0u) == 0xC0u) {
            extra = 1;
            code = lead & 0x1Fu;
            minimum = 0x80;
        } else if ((lead & 0xF0u) == 0xE0u) {
            extra = 2;
            code = lead & 0x0Fu;
            minimum = 0x800;
        } else if ((lead & 0xF8u) == 0xF0u) {
            extra = 3;
            code = lead & 0x07u;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint32_t next = s[i + k];
            if ((next & 0xC0u) != 0x80u)
                return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool isValidUtf8(std::string_view text) {
    return isValidUtf8(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

} // namespace kv
