// WOFF2's transformed glyf/loca: seven streams that Brotli compresses far better than glyf.
#pragma once

#include "font/font_bytes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kv::WOFF2Glyf {

using FontConverter::ByteOut;
using FontConverter::Bytes;
using FontConverter::ByteView;
using FontConverter::Cursor;

/// Rebuilt glyf and loca, and the loca format used (0 short offsets, 1 long).
struct Result {
    Bytes glyf;
    Bytes loca;
    int indexFormat = 0;
};

/// The transformed glyf stream, or nothing when the tables cannot be transformed losslessly
/// (the caller then stores glyf and loca as they are).
std::optional<Bytes> transform(ByteView glyf, ByteView loca, int indexFormat, int numGlyphs);

/// Rebuilds glyf and loca; throws corruptFile on malformed data.
Result reconstruct(ByteView data);

/// One point delta as a triplet: the code (0–127) and its 1–4 coordinate bytes.
struct Triplet {
    std::uint8_t code = 0;
    std::array<std::uint8_t, 4> bytes{};
    std::size_t size = 0;
};

/// The triplet of a point delta, or nothing when a component is 65,536 or more in magnitude.
std::optional<Triplet> encodeTriplet(int dx, int dy);
/// The delta of triplet `code` (bit 7 already cleared), reading its bytes from `glyphStream`.
std::array<int, 2> readTriplet(std::uint8_t code, Cursor& glyphStream);
/// 255UInt16 in its shortest form.
void encode255UInt16(ByteOut& out, std::uint16_t value);
/// TrueType flags and coordinates of a simple glyph (no repeat flags): flags, then x, then y.
void encodePoints(const std::vector<std::int64_t>& xs, const std::vector<std::int64_t>& ys,
                  const std::vector<bool>& onCurve, ByteOut& into);

} // namespace kv::WOFF2Glyf
