// Delimited text: any bytes decode to UTF-8, parse, and survive a write/read round trip.
#include "base/utf8.h"
#include "data/delimited.h"
#include "data/text_decoding.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kv::DataConverter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto text = decodeText(bytes);
    if (!text || !kv::isValidUtf8(*text))
        std::abort();
    for (char delimiter : {',', '\t'}) {
        const Table table = parseDelimited(bytes, delimiter);
        if (parseDelimited(writeDelimited(table, delimiter), delimiter).toRows() != table.toRows())
            std::abort();
    }
    return 0;
}
