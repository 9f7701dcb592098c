// The WOFF2 glyf/loca transform: bit-level encodings and round trips of built glyphs.
#include "engine/conversion_error.h"
#include "font/woff2_glyf.h"
#include "font_fixtures.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using namespace test::fonts;
using FontConverter::ByteOut;
using FontConverter::Cursor;

TEST(WOFF2Glyf, PointDeltasTakeTheFirstTripletClassThatHoldsThem) {
    struct Case {
        int dx, dy, code;
        Bytes bytes;
    };
    for (const auto& c : std::vector<Case>{{0, 0, 0, {0x00}},
                                           {0, 1279, 9, {0xFF}},
                                           {0, 1280, 122, {0x00, 0x05, 0x00}},
                                           {-1279, 0, 18, {0xFF}},
                                           {64, -64, 81, {0xFF}},
                                           {-17, 33, 46, {0x00}},
                                           {65, 1, 87, {0x40, 0x00}},
                                           {768, 768, 119, {0xFF, 0xFF}},
                                           {769, 1, 123, {0x30, 0x10, 0x01}},
                                           {-65535, 0, 124, {0xFF, 0xFF, 0x00, 0x00}}}) {
        const auto t = WOFF2Glyf::encodeTriplet(c.dx, c.dy);
        ASSERT_TRUE(t) << c.dx << "," << c.dy;
        EXPECT_EQ(t->code, c.code) << c.dx << "," << c.dy;
        EXPECT_EQ(Bytes(t->bytes.begin(), t->bytes.begin() + static_cast<long>(t->size)), c.bytes)
            << c.dx << "," << c.dy;
    }
    EXPECT_FALSE(WOFF2Glyf::encodeTriplet(65536, 0));
}

TEST(WOFF2Glyf, EveryTripletCodeReadsBackAsItsDelta) {
    std::vector<int> values{0,   1,   16,  17,  32,  33,   48,   49,   64,   65,   255,
                            256, 257, 767, 768, 769, 1024, 1279, 1280, 4095, 4096, 65535};
    for (std::size_t i = 1, n = values.size(); i < n; ++i)
        values.push_back(-values[i]);
    std::vector<bool> seen(128);
    for (const int dx : values) {
        for (const int dy : values) {
            const auto t = *WOFF2Glyf::encodeTriplet(dx, dy);
            seen.at(t.code) = true;
            Cursor cursor(std::span(t.bytes).first(t.size));
            EXPECT_EQ(WOFF2Glyf::readTriplet(t.code, cursor), (std::array{dx, dy}))
                << "code " << int(t.code);
            EXPECT_EQ(cursor.remaining(), 0u);
        }
    }
    for (int code = 0; code < 128; ++code)
        EXPECT_TRUE(seen[static_cast<std::size_t>(code)]) << code;
}

TEST(WOFF2Glyf, Int255UInt16UsesTheShortestFormAndReadsBack) {
    for (const auto& [value, bytes] :
         std::vector<std::pair<int, Bytes>>{{252, {252}},
                                            {253, {255, 0}},
                                            {505, {255, 252}},
                                            {506, {254, 0}},
                                            {761, {254, 255}},
                                            {762, {253, 0x02, 0xFA}}}) {
        ByteOut out;
        WOFF2Glyf::encode255UInt16(out, static_cast<std::uint16_t>(value));
        EXPECT_EQ(out.bytes(), bytes) << value;
    }
    ByteOut all;
    for (int v = 0; v <= 65535; ++v)
        WOFF2Glyf::encode255UInt16(all, static_cast<std::uint16_t>(v));
    Cursor cursor(all.bytes());
    for (int v = 0; v <= 65535; ++v)
        ASSERT_EQ(cursor.read255UInt16(), v);
}

TEST(WOFF2Glyf, RebuiltPointsUseShortCoordinatesAndNoRepeats) {
    ByteOut out;
    WOFF2Glyf::encodePoints({0, 300}, {0, -5}, {true, false}, out);
    EXPECT_EQ(out.bytes(), (Bytes{0x31, 0x04, 0x01, 0x2C, 0x05}));
}

std::vector<Bytes> sampleGlyphs() {
    const Bytes scaled{
        0x00, 0x28, 0x00, 0x01, 0x10, 0x20, 0x40, 0x00, // byte args, scale, more components
        0x00, 0x81, 0x00, 0x02, 0x01, 0x00, 0xFF, 0x00, // word args, 2×2 matrix
        0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00};
    const Bytes instructed{0x01, 0x41, 0x00, 0x01, 0x00, 0x05,
                           0x00, 0x06, 0x40, 0x00, 0x20, 0x00}; // x/y scale
    return {
        {},
        simpleGlyph({{{0, 0}, {300, -5, false}, {600, 700}}, {{10, 10}, {5000, 10}, {5000, -4000}}},
                    {0xB0, 0x01}),
        simpleGlyph({{{100, 100}, {200, 100}, {200, 200}}}, {},
                    std::array<std::int16_t, 4>{-1, -2, 300, 400}),
        compositeGlyph({0, 0, 500, 500}, scaled),
        compositeGlyph({-5, -5, 50, 50}, instructed, Bytes{0x4B, 0x42, 0x01}),
        simpleGlyph({{{-20000, 30000}, {12767, -2768, false}}}), // deltas at the 16-bit limits
    };
}

std::vector<std::uint32_t> offsetsOf(const WOFF2Glyf::Result& r) {
    std::vector<std::uint32_t> offsets;
    const std::size_t width = r.indexFormat ? 4 : 2;
    for (std::size_t i = 0; i < r.loca.size(); i += width)
        offsets.push_back(readBE(r.loca, i, width) * (r.indexFormat ? 1 : 2));
    return offsets;
}

TEST(WOFF2Glyf, RoundTripKeepsEveryGlyphByteForByte) {
    const auto glyphs = sampleGlyphs();
    for (const int indexFormat : {0, 1}) {
        const auto [glyf, loca] = glyfAndLoca(glyphs, indexFormat);
        const auto transformed =
            WOFF2Glyf::transform(glyf, loca, indexFormat, static_cast<int>(glyphs.size()));
        ASSERT_TRUE(transformed);
        const auto rebuilt = WOFF2Glyf::reconstruct(*transformed);
        const auto offsets = offsetsOf(rebuilt);
        ASSERT_EQ(offsets.size(), glyphs.size() + 1);
        for (std::size_t i = 0; i < glyphs.size(); ++i) {
            EXPECT_EQ(
                Bytes(rebuilt.glyf.begin() + offsets[i], rebuilt.glyf.begin() + offsets[i + 1]),
                glyphs[i])
                << i;
        }
    }
    const auto [glyf, loca] = glyfAndLoca(glyphs, 1);
    EXPECT_FALSE(WOFF2Glyf::transform(glyf, Bytes(loca.begin(), loca.end() - 4), 1,
                                      6)); // loca one entry short
    EXPECT_FALSE(
        WOFF2Glyf::transform(Bytes(glyf.begin(), glyf.end() - 1), loca, 1, 6)); // last glyph cut
}

TEST(WOFF2Glyf, LocaSwitchesToLongOffsetsWhenShortOnesCannotHoldThem) {
    const auto rebuild = [](const std::vector<Bytes>& glyphs, int headerFormat) {
        const auto [glyf, loca] = glyfAndLoca(glyphs, 1);
        auto transformed = *WOFF2Glyf::transform(glyf, loca, 1, static_cast<int>(glyphs.size()));
        transformed[7] = static_cast<std::uint8_t>(headerFormat); // indexFormat
        return WOFF2Glyf::reconstruct(transformed);
    };
    const auto oddGlyph = simpleGlyph({{{0, 0}, {10, 10}, {20, 0}}});
    const auto evenGlyph = simpleGlyph({{{0, 0}, {10, 10}, {20, 0}, {20, 300}}});
    ASSERT_EQ(oddGlyph.size() % 2, 1u);
    ASSERT_EQ(evenGlyph.size() % 2, 0u);
    EXPECT_EQ(rebuild({evenGlyph, evenGlyph, {}}, 0).loca.size(), 4u * 2);
    EXPECT_EQ(rebuild({evenGlyph, evenGlyph, {}}, 1).loca.size(), 4u * 4);
    EXPECT_EQ(rebuild({oddGlyph, evenGlyph}, 0).indexFormat, 1);

    std::vector<Point> many;
    for (int i = 0; i < 40000; ++i)
        many.push_back({(i % 2) * 300, i % 3, i % 5 != 0});
    const auto big = simpleGlyph({many});
    ASSERT_GT(big.size(), 131070u);
    const auto large = rebuild({big, evenGlyph}, 0);
    EXPECT_EQ(large.indexFormat, 1);
    EXPECT_EQ(offsetsOf(large).back(), big.size() + evenGlyph.size());
}

TEST(WOFF2Glyf, MalformedTablesFailWithTheirMessages) {
    const auto message = [](const Bytes& data) -> std::string {
        try {
            (void)WOFF2Glyf::reconstruct(data);
        } catch (const ConversionError& e) {
            return e.what();
        }
        return "(no error)";
    };
    const auto table = [](int numGlyphs, std::array<std::uint32_t, 7> sizes, const Bytes& streams) {
        ByteOut out;
        out.u32(0);
        out.u16(static_cast<std::uint16_t>(numGlyphs));
        out.u16(0);
        for (const auto s : sizes)
            out.u32(s);
        out.append(streams);
        return out.take();
    };
    const std::string prefix = "File appears corrupt: ";
    EXPECT_EQ(message(Bytes(35, 0)), prefix + "Transformed glyf table is too short.");
    EXPECT_EQ(message(table(1, {4, 0, 0, 0, 0, 4, 0}, Bytes(7, 0))),
              prefix + "Transformed glyf stream runs past the end of the table.");
    EXPECT_EQ(message(table(40, {80, 0, 0, 0, 0, 4, 0}, Bytes(84, 0))),
              prefix + "WOFF2 bbox bitmap is truncated.");
    EXPECT_EQ(message(table(1, {2, 0, 0, 0, 0, 4, 0}, {0xFF, 0xFF, 0, 0, 0, 0})),
              prefix + "Composite glyph 0 is missing its bounding box.");
    EXPECT_EQ(message(table(2, {4, 6, 0, 0, 0, 4, 0},
                            {0, 0, 0, 2, 253, 0xFF, 0xFE, 253, 0, 1, 0, 0, 0, 0})),
              prefix + "Glyph 1 has an invalid point count.");
    EXPECT_EQ(message(table(1, {2, 1, 0, 0, 0, 4, 0}, {0, 1, 3, 0, 0, 0, 0})),
              prefix + "WOFF2 stream ended early.");
}

} // namespace
} // namespace kv
