// Fuzzes the WOFF2 decoder end to end: directory, Brotli stream, glyf/loca and hmtx rebuilding.
#include "engine/conversion_error.h"
#include "font/woff2_container.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)kv::FontConverter::decodeWOFF2({data, size}).sfntData();
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
