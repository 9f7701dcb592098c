// Fuzzes the TrueType/OpenType reader and writes the parsed font back out.
#include "engine/conversion_error.h"
#include "font/sfnt.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const kv::FontConverter::SFNT sfnt({data, size});
        (void)sfnt.sfntData();
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
