// WOFF2 reader and writer: header, table directory and the Brotli-compressed table stream.
#include "font/woff2_container.h"

#include "engine/conversion_error.h"
#include "font/font_limits.h"
#include "font/woff2_glyf.h"
#include "font/woff2_hmtx.h"

#include <algorithm>
#include <array>
#include <brotli/decode.h>
#include <brotli/encode.h>
#include <optional>
#include <string_view>

namespace kv::FontConverter {
namespace {

constexpr std::uint32_t kWOFF2Signature = 0x774F4632; // "wOF2"
constexpr std::size_t kHeaderBytes = 48;
constexpr std::uint8_t kUnknownTagIndex = 63; // an explicit 4-byte tag follows the flags byte
constexpr std::uint8_t kNullTransform = 3;    // glyf/loca stored as they are
constexpr int kBrotliQuality = 11;
constexpr int kBrotliWindowBits = 24;

// The order fixes each tag's index in the flags byte.
constexpr std::array<std::string_view, 63> kKnownTags{
    "cmap", "head", "hhea", "hmtx", "maxp", "name", "OS/2", "post", "cvt ", "fpgm", "glyf",
    "loca", "prep", "CFF ", "VORG", "EBDT", "EBLC", "gasp", "hdmx", "kern", "LTSH", "PCLT",
    "VDMX", "vhea", "vmtx", "BASE", "GDEF", "GPOS", "GSUB", "EBSC", "JSTF", "MATH", "CBDT",
    "CBLC", "COLR", "CPAL", "SVG ", "sbix", "acnt", "avar", "bdat", "bloc", "bsln", "cvar",
    "fdsc", "feat", "fmtx", "fvar", "gvar", "hsty", "just", "lcar", "mort", "morx", "opbd",
    "prop", "trak", "Zapf", "Silf", "Glat", "Gloc", "Feat", "Sill"};

const std::uint32_t kGlyf = stringToTag("glyf");
const std::uint32_t kLoca = stringToTag("loca");
const std::uint32_t kHmtx = stringToTag("hmtx");
const std::uint32_t kHead = stringToTag("head");
const std::uint32_t kHhea = stringToTag("hhea");
const std::uint32_t kMaxp = stringToTag("maxp");

constexpr std::size_t kNumGlyphsOffset = 4;         // maxp
constexpr std::size_t kNumberOfHMetricsOffset = 34; // hhea
constexpr std::size_t kIndexToLocFormatOffset = 50; // head

/// One parsed directory entry.
struct Entry {
    std::uint32_t tag = 0;
    std::uint64_t length = 0; // bytes taken in the decompressed stream
    bool transformed = false;
};

// The optional metadata and private blocks of the file: offset 0 means absent.
struct Block {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The compressed stream, then the metadata block, then the private block, each starting on the
// 4-byte boundary after the one before and the file ending with the last: anything else (gaps,
// extra bytes, blocks out of order) is a file the WOFF2 format requires decoders to reject.
void checkBlockLayout(std::uint64_t streamEnd, Block metadata, Block privateData,
                      std::uint64_t fileSize) {
    std::uint64_t end = paddedTo4(streamEnd);
    for (const Block& block : {metadata, privateData}) {
        if (block.offset == 0)
            continue;
        if (block.offset != end || block.length > fileSize - std::min(fileSize, block.offset)) {
            throw ConversionError::corruptFile("WOFF2 data blocks are misplaced or overlap.");
        }
        end = paddedTo4(block.offset + block.length);
    }
    // The last block may stop short of its padding: nothing follows it.
    if (fileSize != end && paddedTo4(fileSize) != end) {
        throw ConversionError::corruptFile(
            "WOFF2 file has extra bytes between or after its data blocks.");
    }
}

Entry readEntry(ByteReader& reader) {
    Entry entry;
    const auto flags = reader.u8();
    const auto index = static_cast<std::uint8_t>(flags & 0x3F);
    const auto version = flags >> 6;
    entry.tag = index == kUnknownTagIndex ? reader.u32() : stringToTag(kKnownTags[index]);
    const auto origLength = reader.uintBase128();
    if (entry.tag == kGlyf || entry.tag == kLoca) {
        entry.transformed = version == 0; // 1 and 2 are undefined: read as stored, like 3
    } else if (entry.tag == kHmtx) {
        entry.transformed = version == 1;
    } else if (version != 0) {
        throw ConversionError::corruptFile("WOFF2 table '" + tagToString(entry.tag) +
                                           "' uses an unsupported transform.");
    }
    entry.length = entry.transformed ? reader.uintBase128() : origLength;
    // A transformed loca is rebuilt from glyf and occupies no bytes of the stream.
    if (entry.tag == kLoca && entry.transformed && entry.length != 0) {
        throw ConversionError::corruptFile(
            "WOFF2 transformed loca must have a transformLength of 0.");
    }
    return entry;
}

Table freshTable(std::uint32_t tag, Bytes data) {
    const auto checksum = sfntChecksum(data);
    return {tag, checksum, std::move(data)};
}

} // namespace

std::uint8_t knownTagIndex(std::uint32_t tag) {
    for (std::size_t i = 0; i < kKnownTags.size(); ++i) {
        if (stringToTag(kKnownTags[i]) == tag)
            return static_cast<std::uint8_t>(i);
    }
    return kUnknownTagIndex;
}

Bytes encodeWOFF2(const SFNT& sfnt) {
    std::vector<const Table*> tables;
    for (const auto& t : sfnt.tables)
        tables.push_back(&t);
    std::stable_sort(tables.begin(), tables.end(),
                     [](const Table* a, const Table* b) { return a->tag < b->tag; });
    if (tables.size() > 0xFFFF)
        throw ConversionError::conversionFailed(); // numTables is 16 bits

    const Table* glyf = sfnt.table(kGlyf);
    const Table* loca = sfnt.table(kLoca);
    std::optional<Bytes> transformedGlyf;
    const auto numGlyphs = be16(sfnt.table(kMaxp), kNumGlyphsOffset);
    const auto head = sfnt.table(kHead);
    if (glyf && loca && numGlyphs && head && head->data.size() >= 52) {
        const auto indexFormat = be16(head, kIndexToLocFormatOffset).value_or(0);
        transformedGlyf = WOFF2Glyf::transform(glyf->data, loca->data, indexFormat, *numGlyphs);
    }

    ByteOut directory, stream;
    std::uint64_t totalSfntSize = 12 + 16ull * tables.size();
    for (const auto* t : tables) {
        const auto index = knownTagIndex(t->tag);
        const bool glyfOrLoca = t == glyf || t == loca;
        const std::uint8_t version = glyfOrLoca && !transformedGlyf ? kNullTransform : 0;
        directory.u8(static_cast<std::uint8_t>(index | version << 6)); // flags
        if (index == kUnknownTagIndex)
            directory.u32(t->tag);                                         // tag
        directory.uintBase128(static_cast<std::uint32_t>(t->data.size())); // origLength
        totalSfntSize += paddedTo4(t->data.size());
        if (transformedGlyf && t == glyf) {
            directory.uintBase128(
                static_cast<std::uint32_t>(transformedGlyf->size())); // transformLength
            stream.append(*transformedGlyf);
        } else if (transformedGlyf && t == loca) {
            directory.uintBase128(0); // transformLength: rebuilt from glyf
        } else {
            stream.append(t->data);
        }
    }
    const auto compressed = brotliCompress(stream.bytes());
    // The reference decoder (and so browsers, through OTS) refuses a file whose compressed stream
    // does not end on a 4-byte boundary, so the file is padded to one.
    const std::uint64_t length = paddedTo4(kHeaderBytes + directory.size() + compressed.size());
    if (length > 0xFFFFFFFFu || totalSfntSize > 0xFFFFFFFFu)
        throw ConversionError::conversionFailed();

    ByteOut out;
    out.reserve(static_cast<std::size_t>(length));
    out.u32(kWOFF2Signature);
    out.u32(sfnt.sfntVersion);                              // flavor
    out.u32(static_cast<std::uint32_t>(length));            // length
    out.u16(static_cast<std::uint16_t>(tables.size()));     // numTables
    out.u16(0);                                             // reserved
    out.u32(static_cast<std::uint32_t>(totalSfntSize));     // totalSfntSize
    out.u32(static_cast<std::uint32_t>(compressed.size())); // totalCompressedSize
    out.u16(1);                                             // majorVersion
    out.u16(0);                                             // minorVersion
    for (int i = 0; i < 5; ++i)
        out.u32(0); // metaOffset, metaLength, metaOrigLength, privOffset, privLength
    out.append(directory.bytes());
    out.append(compressed);
    out.padTo4();
    return out.take();
}

SFNT decodeWOFF2(ByteView data) {
    ByteReader reader(data);
    if (reader.u32() != kWOFF2Signature)
        throw ConversionError::corruptFile("Not a WOFF2 file (bad signature).");
    SFNT sfnt;
    sfnt.sfntVersion = reader.u32(); // flavor
    if (sfnt.sfntVersion == kCollectionTag) {
        throw ConversionError::corruptFile(
            "This is a TrueType Collection (.ttc) containing multiple fonts "
            "\u2014 extract a single font first.");
    }
    const std::uint64_t length = reader.u32();
    const auto numTables = reader.u16();
    const auto reserved = reader.u16();
    reader.skip(4); // totalSfntSize
    const std::uint64_t totalCompressedSize = reader.u32();
    reader.skip(2 + 2); // majorVersion, minorVersion
    Block metadata, privateData;
    metadata.offset = reader.u32();
    metadata.length = reader.u32();
    reader.skip(4); // metaOrigLength
    privateData.offset = reader.u32();
    privateData.length = reader.u32();
    if (length != data.size())
        throw ConversionError::corruptFile("WOFF2 header length does not match the file size.");
    if (reserved != 0)
        throw ConversionError::corruptFile("WOFF2 header reserved field is not zero.");

    std::vector<Entry> entries;
    entries.reserve(numTables);
    std::uint64_t expected = 0;
    for (unsigned i = 0; i < numTables; ++i) {
        entries.push_back(readEntry(reader));
        expected += entries.back().length;
    }
    const auto transformedGlyf = std::any_of(entries.begin(), entries.end(), [](const Entry& e) {
        return e.tag == kGlyf && e.transformed;
    });
    const auto transformedLoca = std::any_of(entries.begin(), entries.end(), [](const Entry& e) {
        return e.tag == kLoca && e.transformed;
    });
    const auto storedLoca = std::any_of(entries.begin(), entries.end(), [](const Entry& e) {
        return e.tag == kLoca && !e.transformed;
    });
    // loca is rebuilt from a transformed glyf only: any other pairing leaves a font without loca
    // or with two of them.
    if ((transformedLoca && !transformedGlyf) || (transformedGlyf && storedLoca)) {
        throw ConversionError::corruptFile("WOFF2 transforms glyf and loca differently.");
    }

    const auto streamStart = reader.offset();
    if (totalCompressedSize > data.size() - streamStart) {
        throw ConversionError::corruptFile("WOFF2 compressed stream extends past end of file.");
    }
    checkBlockLayout(streamStart + totalCompressedSize, metadata, privateData, data.size());
    if (expected > kMaxFontBytes)
        throw ConversionError::corruptFile(kFontTooLargeMessage);
    if (expected > totalCompressedSize * kMaxWOFF2ExpansionRatio) {
        throw ConversionError::corruptFile(
            "WOFF2 declares more data than its compressed stream can hold.");
    }
    const auto stream =
        brotliDecompress(data.subspan(streamStart, static_cast<std::size_t>(totalCompressedSize)),
                         static_cast<std::size_t>(expected));

    std::optional<ByteView> glyfStream, hmtxStream;
    const ByteView decoded(stream);
    std::size_t position = 0;
    for (const auto& entry : entries) {
        if (entry.length > decoded.size() - position) {
            throw ConversionError::corruptFile(
                "WOFF2 table stream is shorter than the directory claims.");
        }
        const auto bytes = decoded.subspan(position, static_cast<std::size_t>(entry.length));
        position += static_cast<std::size_t>(entry.length);
        if (!entry.transformed) {
            sfnt.tables.push_back(freshTable(entry.tag, Bytes(bytes.begin(), bytes.end())));
        } else if (entry.tag == kGlyf) {
            glyfStream = bytes;
        } else if (entry.tag == kHmtx) {
            hmtxStream = bytes;
        }
    }

    if (glyfStream) {
        auto rebuilt = WOFF2Glyf::reconstruct(*glyfStream);
        sfnt.tables.push_back(freshTable(kGlyf, std::move(rebuilt.glyf)));
        sfnt.tables.push_back(freshTable(kLoca, std::move(rebuilt.loca)));
        if (auto* head = sfnt.table(kHead); head && head->data.size() > 51) {
            head->data[kIndexToLocFormatOffset] =
                static_cast<std::uint8_t>(rebuilt.indexFormat >> 8);
            head->data[kIndexToLocFormatOffset + 1] =
                static_cast<std::uint8_t>(rebuilt.indexFormat);
            head->checksum = sfntChecksum(head->data);
        }
    }
    if (hmtxStream) {
        const auto numGlyphs = be16(sfnt.table(kMaxp), kNumGlyphsOffset);
        const auto numberOfHMetrics = be16(sfnt.table(kHhea), kNumberOfHMetricsOffset);
        const auto indexFormat = be16(sfnt.table(kHead), kIndexToLocFormatOffset);
        const auto* glyf = sfnt.table(kGlyf);
        const auto* loca = sfnt.table(kLoca);
        if (!numGlyphs || !numberOfHMetrics || !indexFormat || !glyf || !loca) {
            throw ConversionError::corruptFile(
                "WOFF2 uses the hmtx transform but is missing the tables needed to reverse it.");
        }
        auto hmtx = WOFF2Hmtx::reconstruct(*hmtxStream, *numGlyphs, *numberOfHMetrics, glyf->data,
                                           loca->data, *indexFormat);
        sfnt.tables.push_back(freshTable(kHmtx, std::move(hmtx)));
    }
    if (sfnt.tables.empty())
        throw ConversionError::corruptFile("WOFF2 contains no tables.");

    std::uint64_t total = 0;
    for (const auto& t : sfnt.tables)
        total += t.data.size();
    if (total > kMaxFontBytes)
        throw ConversionError::corruptFile(kFontTooLargeMessage);
    return sfnt;
}

Bytes brotliCompress(ByteView data) {
    const auto bound =
        std::max(data.size() + data.size() / 8 + 1024, BrotliEncoderMaxCompressedSize(data.size()));
    Bytes out(bound);
    std::size_t size = out.size();
    if (!BrotliEncoderCompress(kBrotliQuality, kBrotliWindowBits, BROTLI_MODE_FONT, data.size(),
                               data.data(), &size, out.data()) ||
        size == 0) {
        throw ConversionError::conversionFailed();
    }
    out.resize(size);
    return out;
}

Bytes brotliDecompress(ByteView data, std::size_t expected) {
    Bytes out(std::max<std::size_t>(expected, 1));
    std::size_t size = expected;
    if (BrotliDecoderDecompress(data.size(), data.data(), &size, out.data()) !=
        BROTLI_DECODER_RESULT_SUCCESS) {
        throw ConversionError::corruptFile("WOFF2 stream failed to decompress.");
    }
    if (size != expected)
        throw ConversionError::corruptFile("WOFF2 stream decompressed to the wrong size.");
    out.resize(size);
    return out;
}

} // namespace kv::FontConverter
