// Whole-file reads for the checks, which never throw.
#include "validate/file_text.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace kv::Validator {

std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(buffer).str();
}

bool isValidUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        unsigned int min = 0;
        unsigned int code = 0;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { extra = 1; min = 0x80; code = c & 0x1Fu; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; min = 0x800; code = c & 0x0Fu; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; min = 0x10000; code = c & 0x07u; }
        else return false;
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            code = (code << 6) | (d & 0x3Fu);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::optional<std::string> readUTF8File(const std::filesystem::path& file) {
    auto bytes = readWholeFile(file);
    if (!bytes || !isValidUTF8(*bytes)) return std::nullopt;
    if (bytes->rfind("\xEF\xBB\xBF", 0) == 0) bytes->erase(0, 3);
    return bytes;
}

}  // namespace kv::Validator
