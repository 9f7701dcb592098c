// Fuzzes the WOFF2 glyf/loca and hmtx transforms without the Brotli layer in front of them.
// The first byte picks the direction; a transform that accepts its input must rebuild cleanly.
#include "engine/conversion_error.h"
#include "font/woff2_glyf.h"
#include "font/woff2_hmtx.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void transformAndRebuild(std::span<const std::uint8_t> input) {
    // [indexFormat, numGlyphs hi, lo, loca size hi, lo] then loca, then glyf.
    if (input.size() < 5)
        return;
    const int indexFormat = input[0] & 1;
    const int numGlyphs = input[1] << 8 | input[2];
    const std::size_t locaSize =
        std::min<std::size_t>(static_cast<std::size_t>(input[3] << 8 | input[4]), input.size() - 5);
    const auto loca = input.subspan(5, locaSize);
    const auto glyf = input.subspan(5 + locaSize);
    const auto transformed = kv::WOFF2Glyf::transform(glyf, loca, indexFormat, numGlyphs);
    if (!transformed)
        return;
    // What we write, we must read back.
    try {
        (void)kv::WOFF2Glyf::reconstruct(*transformed);
    } catch (const kv::ConversionError&) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    if (data[0] & 1) {
        transformAndRebuild(input);
        return 0;
    }
    try {
        const auto rebuilt = kv::WOFF2Glyf::reconstruct(input);
        // Use the rebuilt tables the way the container does, with the data as a transformed hmtx.
        const int numGlyphs =
            static_cast<int>(rebuilt.loca.size() / (rebuilt.indexFormat ? 4 : 2)) - 1;
        (void)kv::WOFF2Hmtx::reconstruct(input.first(std::min<std::size_t>(input.size(), 64)),
                                         numGlyphs, std::max(1, numGlyphs / 2), rebuilt.glyf,
                                         rebuilt.loca, rebuilt.indexFormat);
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
