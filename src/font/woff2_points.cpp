// WOFF2 point encodings: the triplet table, 255UInt16, and TrueType points of rebuilt glyphs.
#include "engine/conversion_error.h"
#include "font/woff2_glyf.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace kv::WOFF2Glyf {
namespace {

// TrueType simple-glyph point flags.
constexpr std::uint8_t kOnCurve = 0x01;
constexpr std::uint8_t kXShort = 0x02;
constexpr std::uint8_t kYShort = 0x04;
constexpr std::uint8_t kXSameOrPositive = 0x10;
constexpr std::uint8_t kYSameOrPositive = 0x20;

std::int16_t clamp16(std::int64_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

} // namespace

std::optional<Triplet> encodeTriplet(int dx, int dy) {
    const int ax = std::abs(dx), ay = std::abs(dy);
    const int xSign = dx > 0 ? 1 : 0, ySign = dy > 0 ? 1 : 0;
    const auto b = [](int v) { return static_cast<std::uint8_t>(v); };
    Triplet t;
    if (dx == 0 && ay < 1280) { // codes 0–9: y only, 8 bits plus a 256-step base
        t.code = b(((ay >> 8) << 1) + ySign);
        t.bytes[0] = b(ay & 0xFF);
        t.size = 1;
    } else if (dy == 0 && ax < 1280) { // codes 10–19: x only
        t.code = b(10 + ((ax >> 8) << 1) + xSign);
        t.bytes[0] = b(ax & 0xFF);
        t.size = 1;
    } else if (ax >= 1 && ax <= 64 && ay >= 1 && ay <= 64) { // codes 20–83: 4 bits each
        t.code = b(20 + ((ax - 1) & 0x30) + (((ay - 1) & 0x30) >> 2) + xSign + (ySign << 1));
        t.bytes[0] = b(((ax - 1) & 0x0F) << 4 | ((ay - 1) & 0x0F));
        t.size = 1;
    } else if (ax >= 1 && ax <= 768 && ay >= 1 && ay <= 768) { // codes 84–119: 8 bits each
        t.code = b(84 + 12 * ((ax - 1) >> 8) + (((ay - 1) >> 8) << 2) + xSign + (ySign << 1));
        t.bytes[0] = b((ax - 1) & 0xFF);
        t.bytes[1] = b((ay - 1) & 0xFF);
        t.size = 2;
    } else if (ax < 4096 && ay < 4096) { // codes 120–123: 12 bits each
        t.code = b(120 + xSign + (ySign << 1));
        t.bytes[0] = b(ax >> 4);
        t.bytes[1] = b((ax & 0x0F) << 4 | ay >> 8);
        t.bytes[2] = b(ay & 0xFF);
        t.size = 3;
    } else if (ax < 65536 && ay < 65536) { // codes 124–127: 16 bits each
        t.code = b(124 + xSign + (ySign << 1));
        t.bytes[0] = b(ax >> 8);
        t.bytes[1] = b(ax & 0xFF);
        t.bytes[2] = b(ay >> 8);
        t.bytes[3] = b(ay & 0xFF);
        t.size = 4;
    } else {
        return std::nullopt;
    }
    return t;
}

std::array<int, 2> readTriplet(std::uint8_t code, Cursor& glyphStream) {
    const auto withSign = [](int bit, int magnitude) { return bit ? magnitude : -magnitude; };
    const int xPositive = code & 1, yPositive = (code >> 1) & 1;
    if (code < 10)
        return {0, withSign(code & 1, ((code >> 1) << 8) + glyphStream.u8())};
    if (code < 20)
        return {withSign(code & 1, (((code - 10) >> 1) << 8) + glyphStream.u8()), 0};
    if (code < 84) {
        const int b0 = code - 20, b1 = glyphStream.u8();
        return {withSign(xPositive, 1 + (b0 & 0x30) + (b1 >> 4)),
                withSign(yPositive, 1 + ((b0 & 0x0C) << 2) + (b1 & 0x0F))};
    }
    if (code < 120) {
        const int b0 = code - 84, b1 = glyphStream.u8(), b2 = glyphStream.u8();
        return {withSign(xPositive, 1 + ((b0 / 12) << 8) + b1),
                withSign(yPositive, 1 + (((b0 % 12) >> 2) << 8) + b2)};
    }
    if (code < 124) {
        const int b1 = glyphStream.u8(), b2 = glyphStream.u8(), b3 = glyphStream.u8();
        return {withSign(xPositive, (b1 << 4) + (b2 >> 4)),
                withSign(yPositive, ((b2 & 0x0F) << 8) + b3)};
    }
    if (code < 128) {
        const int b1 = glyphStream.u8(), b2 = glyphStream.u8(), b3 = glyphStream.u8(),
                  b4 = glyphStream.u8();
        return {withSign(xPositive, (b1 << 8) + b2), withSign(yPositive, (b3 << 8) + b4)};
    }
    throw ConversionError::corruptFile("Invalid WOFF2 point flag.");
}

void encode255UInt16(ByteOut& out, std::uint16_t value) {
    if (value < 253) {
        out.u8(static_cast<std::uint8_t>(value));
    } else if (value < 506) {
        out.u8(255);
        out.u8(static_cast<std::uint8_t>(value - 253));
    } else if (value < 762) {
        out.u8(254);
        out.u8(static_cast<std::uint8_t>(value - 506));
    } else {
        out.u8(253);
        out.u16(value);
    }
}

void encodePoints(const std::vector<std::int64_t>& xs, const std::vector<std::int64_t>& ys,
                  const std::vector<bool>& onCurve, ByteOut& into) {
    const auto count = xs.size();
    std::vector<std::uint8_t> flags(count);
    ByteOut xBytes, yBytes;
    const auto encodeAxis = [&](const std::vector<std::int64_t>& v, ByteOut& out,
                                std::uint8_t shortBit, std::uint8_t sameBit) {
        std::int64_t previous = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const auto d = v[i] - previous;
            previous = v[i];
            if (d == 0) {
                flags[i] |= sameBit;
            } else if (d > 0 && d <= 255) {
                flags[i] |= static_cast<std::uint8_t>(shortBit | sameBit);
                out.u8(static_cast<std::uint8_t>(d));
            } else if (d < 0 && d >= -255) {
                flags[i] |= shortBit;
                out.u8(static_cast<std::uint8_t>(-d));
            } else {
                out.i16(clamp16(d));
            }
        }
    };
    for (std::size_t i = 0; i < count; ++i)
        flags[i] = onCurve[i] ? kOnCurve : 0;
    encodeAxis(xs, xBytes, kXShort, kXSameOrPositive);
    encodeAxis(ys, yBytes, kYShort, kYSameOrPositive);
    into.append(flags);
    into.append(xBytes.bytes());
    into.append(yBytes.bytes());
}

} // namespace kv::WOFF2Glyf
