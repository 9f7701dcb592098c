// The WOFF2 container and the hmtx transform, on built fonts.
#include "engine/conversion_error.h"
#include "font/woff2_container.h"
#include "font/woff2_hmtx.h"
#include "font_fixtures.h"
#include "support/test_support.h"

#include <functional>
#include <gtest/gtest.h>

namespace kv {
namespace {

using namespace test::fonts;
using FontConverter::ByteOut;
using FontConverter::ByteReader;
using FontConverter::decodeWOFF2;
using FontConverter::stringToTag;

std::string failure(const std::function<void()>& body) {
    try {
        body();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile) << e.what();
        return std::string(e.what()).substr(std::string("File appears corrupt: ").size());
    }
    return "(no error)";
}

struct Entry {
    std::uint8_t flags = 0;
    std::uint32_t tag = 0, origLength = 0, transformLength = 0;
};

bool hasTransformLength(std::uint8_t flags) {
    const auto index = flags & 0x3F, version = flags >> 6;
    return ((index == 10 || index == 11) && version == 0) || (index == 3 && version == 1);
}

/// A WOFF2 file with `entries` and the uncompressed table `stream`.
Bytes woff2With(const std::vector<Entry>& entries, const Bytes& stream) {
    const auto compressed = FontConverter::brotliCompress(stream);
    ByteOut out;
    for (const std::uint32_t v : {0x774F4632u, 0x00010000u, 0u})
        out.u32(v);
    out.u16(static_cast<std::uint16_t>(entries.size()));
    out.u16(0);
    out.u32(0);
    out.u32(static_cast<std::uint32_t>(compressed.size()));
    for (int i = 0; i < 6; ++i)
        out.u32(0);
    for (const auto& e : entries) {
        out.u8(e.flags);
        if ((e.flags & 0x3F) == 63)
            out.u32(e.tag);
        out.uintBase128(e.origLength);
        if (hasTransformLength(e.flags))
            out.uintBase128(e.transformLength);
    }
    out.append(compressed);
    out.padTo4();
    out.patch(8, out.size(), 4, Endian::big); // length
    return out.take();
}

/// `file` with the big-endian 32-bit header field at `offset` set to `value`.
Bytes withField(Bytes file, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        file[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return file;
}

std::vector<Entry> directoryOf(const Bytes& woff2) {
    ByteReader r(woff2, 12);
    std::vector<Entry> entries(r.u16());
    r.skip(48 - 14);
    for (auto& e : entries) {
        e.flags = r.u8();
        if ((e.flags & 0x3F) == 63)
            e.tag = r.u32();
        e.origLength = r.uintBase128();
        if (hasTransformLength(e.flags))
            e.transformLength = r.uintBase128();
    }
    return entries;
}

FontConverter::SFNT sampleFont() {
    return makeFont({{},
                     simpleGlyph({{{10, 0}, {300, -5, false}, {600, 700}}}, {0xB0, 0x01}),
                     compositeGlyph({10, -5, 600, 700}, {0x00, 0x02, 0x00, 0x01, 0x05, 0x06})});
}

TEST(WOFF2, UIntBase128EdgeCases) {
    const auto read = [](Bytes bytes) { return ByteReader(bytes).uintBase128(); };
    EXPECT_EQ(read({0x81, 0x00}), 128u);
    EXPECT_EQ(read({0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), 0xFFFFFFFFu);
    EXPECT_EQ(failure([&] { read({0x80, 0x01}); }), "Malformed WOFF2 length field.");
    EXPECT_EQ(failure([&] {
                  read({0x81, 0x80, 0x80, 0x80, 0x80});
              }),
              "WOFF2 length field too long.");
    EXPECT_EQ(failure([&] {
                  read({0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
              }),
              "WOFF2 length field overflows.");
    EXPECT_EQ(failure([&] { read({0x81}); }), "Unexpected end of font data.");
    for (const std::uint32_t v : {0u, 127u, 128u, 16384u, 0x10000000u, 0xFFFFFFFFu}) {
        ByteOut out;
        out.uintBase128(v);
        EXPECT_EQ(ByteReader(out.bytes()).uintBase128(), v);
        EXPECT_EQ(out.size(), v == 0 ? 1u : (std::bit_width(v) + 6u) / 7u); // shortest form
    }
}

TEST(WOFF2, RoundTripTransformsGlyfAndLocaAndGivesFreshChecksums) {
    const auto font = sampleFont();
    const auto woff2 = FontConverter::encodeWOFF2(font);
    EXPECT_EQ(woff2.size() % 4, 0u);
    EXPECT_EQ(readBE(woff2, 8, 4), woff2.size());
    for (const auto& e : directoryOf(woff2)) {
        if (e.flags == 11) {
            EXPECT_EQ(e.transformLength, 0u); // loca: rebuilt from glyf
        }
        EXPECT_TRUE(e.flags == 10 || e.flags == 11 || e.flags >> 6 == 0) << int(e.flags);
    }
    const auto back = decodeWOFF2(woff2);
    EXPECT_EQ(back.tables.size(), font.tables.size());
    for (const auto& t : back.tables) {
        EXPECT_EQ(t.checksum, FontConverter::sfntChecksum(t.data));
        EXPECT_EQ(t.data, font.table(t.tag)->data) << FontConverter::tagToString(t.tag);
    }
}

TEST(WOFF2, UntransformableGlyfAndUnknownTagsAreStoredAsTheyAre) {
    auto font = sampleFont();
    font.table(stringToTag("maxp"))->data.resize(5);
    font.tables.push_back({stringToTag("Kvx1"), 0, Bytes{1, 2, 3}});
    const auto woff2 = FontConverter::encodeWOFF2(font);
    int seen = 0;
    for (const auto& e : directoryOf(woff2)) {
        if ((e.flags & 0x3F) == 10 || (e.flags & 0x3F) == 11)
            seen += (e.flags >> 6) == 3;
        if (e.flags == 63)
            seen += e.tag == stringToTag("Kvx1");
    }
    EXPECT_EQ(seen, 3);
    const auto back = decodeWOFF2(woff2);
    EXPECT_EQ(back.table(stringToTag("glyf"))->data, font.table(stringToTag("glyf"))->data);
    EXPECT_EQ(back.table(stringToTag("Kvx1"))->data, (Bytes{1, 2, 3}));

    // Versions 1 and 2 of glyf/loca are undefined and read like 3.
    for (const int version : {1, 2, 3}) {
        const auto v = static_cast<std::uint8_t>(version << 6);
        const auto file = woff2With({{static_cast<std::uint8_t>(10 | v), 0, 6, 0},
                                     {static_cast<std::uint8_t>(11 | v), 0, 4, 0}},
                                    {1, 2, 3, 4, 5, 6, 0, 0, 0, 3});
        EXPECT_EQ(decodeWOFF2(file).table(stringToTag("loca"))->data, (Bytes{0, 0, 0, 3}));
    }
}

TEST(WOFF2, TransformedHmtxTakesOmittedBearingsFromGlyphBoxes) {
    const auto font =
        makeFont({simpleGlyph({{{-30, 0}, {10, 10}}}), {}, simpleGlyph({{{70, 0}, {90, 10}}})});
    const auto& glyf = font.table(stringToTag("glyf"))->data;
    const auto& loca = font.table(stringToTag("loca"))->data;
    EXPECT_EQ(WOFF2Hmtx::reconstruct(Bytes{0x03, 0x02, 0x58}, 3, 1, glyf, loca, 1),
              (Bytes{0x02, 0x58, 0xFF, 0xE2, 0x00, 0x00, 0x00, 0x46}));
    EXPECT_EQ(
        WOFF2Hmtx::reconstruct(Bytes{0x02, 0, 1, 0, 2, 0, 3, 0, 4, 9, 9}, 2, 2, glyf, loca, 1),
        (Bytes{0, 1, 0, 3, 0, 2, 0, 4}));
    // Reserved bits set, or nothing omitted: both refused, as the format requires.
    for (const std::uint8_t flags : {0x00, 0x04, 0x81}) {
        EXPECT_EQ(
            failure([&] {
                WOFF2Hmtx::reconstruct(Bytes{flags, 0, 1, 0, 2, 0, 3, 0, 4}, 2, 2, glyf, loca, 1);
            }),
            "WOFF2 hmtx transform has invalid flags.");
    }
    EXPECT_EQ(failure([&] { WOFF2Hmtx::reconstruct(Bytes{0}, 3, 4, glyf, loca, 1); }),
              "WOFF2 hmtx has an implausible metric count.");
    EXPECT_EQ(failure([&] {
                  WOFF2Hmtx::reconstruct(Bytes{0x01, 0, 1}, 3, 1, glyf, loca, 1);
              }),
              "WOFF2 stream ended early.");
    // A transformed hmtx in a font without hhea cannot be reversed.
    const auto& head = font.table(stringToTag("head"))->data;
    Bytes stream = head;
    stream.insert(stream.end(), {0x03, 0x02, 0x58});
    EXPECT_EQ(failure([&] {
                  decodeWOFF2(woff2With({{1, 0, 54, 0}, {3 | 1 << 6, 0, 12, 3}}, stream));
              }),
              "WOFF2 uses the hmtx transform but is missing the tables needed to reverse it.");
}

TEST(WOFF2, DamagedFilesFailWithTheirMessages) {
    const Bytes table{1, 2, 3, 4};
    const auto tag = stringToTag("abcd");
    const auto good = woff2With({{63, tag, 4, 0}}, table);
    EXPECT_EQ(decodeWOFF2(good).tables.at(0).data, table);
    auto badSignature = good;
    badSignature[3] = 'F';
    auto garbled = good;
    const auto streamEnd = 48 + 6 + readBE(good, 20, 4); // header, one directory entry, stream
    garbled[streamEnd - 2] ^= 0xFF;
    garbled[streamEnd - 1] ^= 0xFF;
    const std::vector<std::pair<Bytes, std::string>> cases{
        {badSignature, "Not a WOFF2 file (bad signature)."},
        {woff2With({{5 | 1 << 6, 0, 4, 0}}, table),
         "WOFF2 table 'name' uses an unsupported transform."},
        {withField(good, 20, static_cast<std::uint32_t>(good.size())),
         "WOFF2 compressed stream extends past end of file."},
        {garbled, "WOFF2 stream failed to decompress."},
        {woff2With({{63, tag, 5, 0}}, table), "WOFF2 stream decompressed to the wrong size."},
        {woff2With({}, {}), "WOFF2 contains no tables."},
        {woff2With({{11, 0, 4, 0}}, {}), "WOFF2 transforms glyf and loca differently."},
        {woff2With({{63, tag, 4'000'000, 0}}, table),
         "WOFF2 declares more data than its compressed stream can hold."},
        {woff2With({{63, tag, 0x7FFFFFFF, 0}}, table), "Font would decode to more than 256 MB."},
    };
    for (const auto& [file, message] : cases)
        EXPECT_EQ(failure([&] { decodeWOFF2(file); }), message);
}

// Files the WOFF2 format requires decoders to reject; the reference decoder agrees on each but
// the reserved field.
TEST(WOFF2, NonConformingFilesAreRejected) {
    const auto good = FontConverter::encodeWOFF2(sampleFont());
    ASSERT_EQ(good.size() % 4, 0u);
    const auto end = static_cast<std::uint32_t>(good.size()); // no metadata or private block yet
    const auto grown = [&](std::size_t extra) {
        Bytes file = good;
        file.resize(file.size() + extra, 0);
        return withField(file, 8, static_cast<std::uint32_t>(file.size()));
    };
    // Metadata and private blocks of 8 bytes each at the given offsets (0: absent).
    const auto withBlocks = [&](std::uint32_t metaOffset, std::uint32_t privOffset,
                                std::size_t extra) {
        Bytes file = grown(extra);
        file = withField(withField(file, 28, metaOffset), 32, metaOffset ? 8 : 0);
        return withField(withField(file, 40, privOffset), 44, privOffset ? 8 : 0);
    };
    auto reserved = good;
    reserved[15] = 1;
    const std::vector<std::pair<Bytes, std::string>> cases{
        {withField(good, 8, end + 4), "WOFF2 header length does not match the file size."},
        {withField(good, 8, end - 3), "WOFF2 header length does not match the file size."},
        {reserved, "WOFF2 header reserved field is not zero."},
        {grown(4), "WOFF2 file has extra bytes between or after its data blocks."},
        {withBlocks(end + 4, 0, 12), "WOFF2 data blocks are misplaced or overlap."},
        {withBlocks(end + 8, end, 16), "WOFF2 data blocks are misplaced or overlap."},
        {withBlocks(end, 0, 20), "WOFF2 file has extra bytes between or after its data blocks."},
        {woff2With({{10, 0, 6, 10}, {11, 0, 4, 4}}, Bytes(10, 0)),
         "WOFF2 transformed loca must have a transformLength of 0."},
    };
    test::TempDir dir;
    const bool reference = test::haveTool("woff2_decompress");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [file, message] = cases[i];
        EXPECT_EQ(failure([&] { decodeWOFF2(file); }), message) << i;
        // The reference decoder does not look at the reserved field.
        if (!reference || file == reserved)
            continue;
        const auto path = dir / ("case" + std::to_string(i) + ".woff2");
        writeBytes(path, file);
        const auto run = test::runProgram({"woff2_decompress", path.string()});
        EXPECT_FALSE(run.exitCode == 0 &&
                     std::filesystem::exists(dir / ("case" + std::to_string(i) + ".ttf")))
            << "the reference decoder accepts case " << i;
    }
    // In order and aligned, both blocks are fine (their content is not used).
    const auto blocks = withBlocks(end, end + 8, 16);
    EXPECT_NO_THROW(decodeWOFF2(blocks));
    if (reference) {
        writeBytes(dir / "blocks.woff2", blocks);
        EXPECT_EQ(test::runProgram({"woff2_decompress", (dir / "blocks.woff2").string()}).exitCode,
                  0);
    }
}

} // namespace
} // namespace kv
