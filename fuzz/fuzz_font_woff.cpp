// Fuzzes the WOFF 1.0 decoder, including zlib inflation of its tables.
#include "engine/conversion_error.h"
#include "font/woff.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)kv::FontConverter::decodeWOFF({data, size}).sfntData();
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
