// WOFF2 hmtx reconstruction.
#include "font/woff2_hmtx.h"

#include "engine/conversion_error.h"

#include <algorithm>
#include <vector>

namespace kv::WOFF2Hmtx {

using namespace FontConverter;

namespace {

constexpr std::uint8_t kNoProportionalBearings = 0x01;
constexpr std::uint8_t kNoMonospacedBearings = 0x02;
constexpr std::uint8_t kReservedFlags = 0xFC;

std::uint64_t readBE(ByteView d, std::size_t at, std::size_t width) {
    return loadUnsigned(d, at, width, Endian::big);
}

} // namespace

Bytes reconstruct(ByteView data, int numGlyphs, int numberOfHMetrics, ByteView glyf, ByteView loca,
                  int indexFormat) {
    if (numberOfHMetrics < 1 || numberOfHMetrics > numGlyphs) {
        throw ConversionError::corruptFile("WOFF2 hmtx has an implausible metric count.");
    }
    const std::size_t entryBytes = indexFormat != 0 ? 4 : 2;
    const auto glyphXMin = [&](std::size_t index) -> std::int16_t {
        if ((index + 2) * entryBytes > loca.size())
            return 0;
        std::uint64_t start = readBE(loca, index * entryBytes, entryBytes);
        std::uint64_t end = readBE(loca, (index + 1) * entryBytes, entryBytes);
        if (indexFormat == 0) {
            start *= 2;
            end *= 2;
        }
        if (end <= start || std::min<std::uint64_t>(end, glyf.size()) < start + 4)
            return 0;
        return static_cast<std::int16_t>(readBE(glyf, static_cast<std::size_t>(start) + 2, 2));
    };

    Cursor c(data);
    const auto flags = c.u8();
    // Reserved bits must be clear, and a transform that omits no bearings is no transform.
    if ((flags & kReservedFlags) != 0 ||
        (flags & (kNoProportionalBearings | kNoMonospacedBearings)) == 0) {
        throw ConversionError::corruptFile("WOFF2 hmtx transform has invalid flags.");
    }
    const auto metrics = static_cast<std::size_t>(numberOfHMetrics);
    const auto glyphs = static_cast<std::size_t>(numGlyphs);
    std::vector<std::uint16_t> advances(metrics);
    for (auto& advance : advances)
        advance = c.u16();

    ByteOut out;
    out.reserve(2 * (metrics + glyphs));
    std::vector<std::int16_t> bearings(glyphs);
    for (std::size_t i = 0; i < glyphs; ++i) {
        const bool omitted =
            (flags & (i < metrics ? kNoProportionalBearings : kNoMonospacedBearings)) != 0;
        bearings[i] = omitted ? glyphXMin(i) : c.i16();
    }
    for (std::size_t i = 0; i < metrics; ++i) {
        out.u16(advances[i]);
        out.i16(bearings[i]);
    }
    for (std::size_t i = metrics; i < glyphs; ++i)
        out.i16(bearings[i]);
    return out.take();
}

} // namespace kv::WOFF2Hmtx
