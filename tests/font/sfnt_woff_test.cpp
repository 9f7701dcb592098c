// The SFNT reader/writer and WOFF 1.0.
#include "engine/conversion_error.h"
#include "font/sfnt.h"
#include "font/woff.h"
#include "font_fixtures.h"

#include <functional>
#include <gtest/gtest.h>
#include <random>

namespace kv {
namespace {

using namespace test::fonts;
using FontConverter::ByteOut;
using FontConverter::SFNT;

std::string failure(const std::function<void()>& body) {
    try {
        body();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile) << e.what();
        return std::string(e.what()).substr(std::string("File appears corrupt: ").size());
    }
    return "(no error)";
}

FontConverter::Table tableOf(const char* tag, Bytes data) {
    return {FontConverter::stringToTag(tag), 0x12345678, std::move(data)};
}

TEST(SFNT, WritesTablesSortedPaddedAndWithTheirStoredChecksums) {
    SFNT font;
    font.tables = {tableOf("zzzz", Bytes{1, 2, 3, 4, 5}), tableOf("aaaa", Bytes{9})};
    font.tables[0].checksum = 0xCAFEBABE;
    const auto bytes = font.sfntData();
    EXPECT_EQ(bytes.size(), 12 + 2 * 16 + 4 + 8u);
    EXPECT_EQ(readBE(bytes, 12, 4), FontConverter::stringToTag("aaaa"));
    EXPECT_EQ(readBE(bytes, 28 + 4, 4), 0xCAFEBABEu);
    EXPECT_EQ(readBE(bytes, 28 + 8, 4), 12 + 2 * 16 + 4u);
    EXPECT_EQ(Bytes(bytes.end() - 8, bytes.end()), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(SFNT(bytes).sfntData(), bytes);

    for (const auto& [count, searchRange, entrySelector, rangeShift] :
         std::vector<std::array<std::uint32_t, 4>>{{1, 16, 0, 0}, {20, 256, 4, 64}}) {
        SFNT many;
        for (std::uint32_t i = 0; i < count; ++i)
            many.tables.push_back({i, 0, {}});
        const auto header = many.sfntData();
        EXPECT_EQ((std::array{readBE(header, 6, 2), readBE(header, 8, 2), readBE(header, 10, 2)}),
                  (std::array{searchRange, entrySelector, rangeShift}));
    }
}

TEST(SFNT, RefusesCollectionsDamageAndImplausibleSizes) {
    const std::string collection = "This is a TrueType Collection (.ttc) containing multiple fonts "
                                   "\u2014 extract a single font first.";
    EXPECT_EQ(failure([] { SFNT(Bytes{'t', 't', 'c', 'f', 0, 2, 0, 0}); }), collection);
    if (std::filesystem::exists(kCollection)) {
        EXPECT_EQ(failure([] { SFNT(readBytes(kCollection)); }), collection);
    }
    EXPECT_EQ(failure([] {
                  SFNT(Bytes{'w', 'O', 'F', 'F', 0, 1, 0, 0});
              }),
              "Not a recognised font container.");
    EXPECT_EQ(failure([] {
                  SFNT(Bytes{'O', 'T', 'T', 'O', 0, 0, 0, 0, 0, 0, 0, 0});
              }),
              "Font contains no tables.");
    EXPECT_EQ(failure([] { SFNT(Bytes{0, 1, 0, 0, 0, 1, 0, 0}); }), "Unexpected end of font data.");

    SFNT font;
    font.tables = {tableOf("abcd", Bytes{1, 2, 3, 4})};
    auto bytes = font.sfntData();
    EXPECT_NO_THROW(SFNT{bytes}); // ends exactly at the end of the file
    bytes[12 + 15] = 5;
    EXPECT_EQ(failure([&] { SFNT{bytes}; }),
              "Font table extends past end of file \u2014 the file is truncated.");

    // 20,000 directory entries naming the same 16 KB would copy 312 MB out of a 336 KB file.
    ByteOut overlapping;
    for (const std::uint32_t v : {0x00010000u, 20000u << 16, 0u})
        overlapping.u32(v);
    for (std::uint32_t i = 0; i < 20000; ++i) {
        for (const std::uint32_t v : {i, 0u, 12 + 16 * 20000u, 16384u})
            overlapping.u32(v);
    }
    overlapping.append(Bytes(16384, 7));
    EXPECT_EQ(failure([&] { SFNT{overlapping.bytes()}; }),
              "Font would decode to more than 256 MB.");
}

TEST(WOFF, LayoutCountsPaddingAndKeepsIncompressibleTablesAsTheyAre) {
    std::mt19937 random(7);
    Bytes noise(1000);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(random());
    SFNT font;
    font.tables = {tableOf("five", Bytes{1, 2, 3, 4, 5}), tableOf("nois", noise),
                   tableOf("zero", Bytes(4000, 0))};
    const auto woff = FontConverter::encodeWOFF(font);
    EXPECT_EQ(readBE(woff, 8, 4), woff.size());
    EXPECT_EQ(readBE(woff, 16, 4), 12 + 3 * 16 + 8 + 1000 + 4000u); // totalSfntSize
    const auto fiveAt = readBE(woff, 44 + 4, 4);
    EXPECT_EQ(Bytes(woff.begin() + fiveAt, woff.begin() + fiveAt + 8),
              (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(readBE(woff, 64 + 4, 4), fiveAt + 8);
    EXPECT_EQ(readBE(woff, 64 + 8, 4), 1000u); // noise: compLength = origLength
    EXPECT_LT(readBE(woff, 84 + 8, 4), 100u);  // zeros: compressed
    const auto back = FontConverter::decodeWOFF(woff);
    EXPECT_EQ(back.tables[1].data, noise);
    EXPECT_EQ(back.tables[2].checksum, 0x12345678u);
    EXPECT_EQ(back.sfntData(), font.sfntData());
}

TEST(WOFF, DamagedFilesFailWithTheirMessages) {
    const auto woffWith = [](const Bytes& payload, std::uint32_t origLength,
                             std::uint32_t compLength) {
        ByteOut out;
        for (const std::uint32_t v :
             {0x774F4646u, 0x00010000u, 0u, 1u << 16, 0u, 0u, 0u, 0u, 0u, 0u, 0u})
            out.u32(v);
        for (const std::uint32_t v : {0x74657374u, 64u, compLength, origLength, 0u})
            out.u32(v);
        out.append(payload);
        return out.take();
    };
    const auto zlib = FontConverter::zlibCompress(Bytes(100, 'a'));
    const auto size = static_cast<std::uint32_t>(zlib.size());
    EXPECT_EQ(FontConverter::decodeWOFF(woffWith(zlib, 100, size)).tables[0].data, Bytes(100, 'a'));
    auto badSignature = woffWith(zlib, 100, size);
    badSignature[3] = '2';
    auto noTables = woffWith({}, 0, 0);
    noTables[13] = 0;
    auto badChecksum = zlib;
    badChecksum.back() ^= 1;
    const std::vector<std::pair<Bytes, std::string>> cases{
        {badSignature, "Not a WOFF file (bad signature)."},
        {noTables, "WOFF contains no tables."},
        {woffWith(zlib, 100, size + 1), "WOFF table extends past end of file."},
        {woffWith(zlib, 101, size), "WOFF table decompressed to the wrong size."},
        {woffWith(zlib, 99, size), "WOFF table decompressed to the wrong size."},
        {woffWith(Bytes(6, 0x78), 100, 6), "WOFF table too short to be zlib data."},
        {woffWith(badChecksum, 100, size), "WOFF table failed to decompress."},
        {woffWith(Bytes(20, 0xFF), 100, 20), "WOFF table failed to decompress."},
        {woffWith(zlib, 2'000'000'000, size),
         "WOFF table declares more data than its compressed bytes can hold."},
        {woffWith(Bytes(300'000, 0), 300'000'000, 300'000),
         "Font would decode to more than 256 MB."},
    };
    for (const auto& [file, message] : cases)
        EXPECT_EQ(failure([&] { FontConverter::decodeWOFF(file); }), message);
}

} // namespace
} // namespace kv
