// SFNT reader and writer.
#include "font/sfnt.h"

#include "engine/conversion_error.h"
#include "font/font_limits.h"

#include <algorithm>
#include <bit>

namespace kv::FontConverter {
namespace {

constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kRecordBytes = 16;

}  // namespace

SFNT::SFNT(ByteView sfntData) {
    ByteReader reader(sfntData);
    sfntVersion = reader.u32();
    if (sfntVersion == kCollectionTag) {
        throw ConversionError::corruptFile("This is a TrueType Collection (.ttc) containing multiple fonts "
                                           "\u2014 extract a single font first.");
    }
    if (sfntVersion != kTrueTypeVersion && sfntVersion != kCFFVersion && sfntVersion != kAppleTrueVersion) {
        throw ConversionError::corruptFile("Not a recognised font container.");
    }
    const auto numTables = reader.u16();
    reader.skip(6);  // searchRange, entrySelector, rangeShift: derived values, not trusted
    if (numTables == 0) throw ConversionError::corruptFile("Font contains no tables.");

    struct Record {
        std::uint32_t tag, checksum;
        std::uint64_t offset, length;
    };
    std::vector<Record> records;
    records.reserve(numTables);
    std::uint64_t total = 0;
    for (unsigned i = 0; i < numTables; ++i) {
        Record r{};
        r.tag = reader.u32();
        r.checksum = reader.u32();
        r.offset = reader.u32();
        r.length = reader.u32();
        if (r.offset + r.length > sfntData.size()) {
            throw ConversionError::corruptFile("Font table extends past end of file \u2014 the file is truncated.");
        }
        total += r.length;
        records.push_back(r);
    }
    // Tables may overlap, so their copies could add up to far more than the file.
    if (total > kMaxFontBytes) throw ConversionError::corruptFile(kFontTooLargeMessage);
    tables.reserve(numTables);
    for (const auto& r : records) {
        const auto bytes = sfntData.subspan(static_cast<std::size_t>(r.offset), static_cast<std::size_t>(r.length));
        tables.push_back({r.tag, r.checksum, Bytes(bytes.begin(), bytes.end())});
    }
}

Bytes SFNT::sfntData() const {
    std::vector<const Table*> sorted;
    sorted.reserve(tables.size());
    for (const auto& t : tables) sorted.push_back(&t);
    std::stable_sort(sorted.begin(), sorted.end(), [](const Table* a, const Table* b) { return a->tag < b->tag; });

    if (sorted.size() > 0xFFFF) throw ConversionError::conversionFailed();  // numTables is 16 bits
    const auto n = static_cast<std::uint16_t>(sorted.size());
    const auto entrySelector = n == 0 ? 0u : static_cast<unsigned>(std::bit_width(unsigned{n}) - 1);
    const auto searchRange = n == 0 ? 0u : 16u << entrySelector;

    std::uint64_t total = kHeaderBytes + kRecordBytes * n;
    for (const auto* t : sorted) total += paddedTo4(t->data.size());

    ByteOut out;
    out.reserve(static_cast<std::size_t>(total));
    out.u32(sfntVersion);
    out.u16(n);                                            // numTables
    out.u16(static_cast<std::uint16_t>(searchRange));      // searchRange
    out.u16(static_cast<std::uint16_t>(entrySelector));    // entrySelector
    out.u16(static_cast<std::uint16_t>(16u * n - searchRange));  // rangeShift
    std::uint64_t offset = kHeaderBytes + kRecordBytes * n;
    for (const auto* t : sorted) {
        out.u32(t->tag);
        out.u32(t->checksum);
        out.u32(static_cast<std::uint32_t>(offset));
        out.u32(static_cast<std::uint32_t>(t->data.size()));
        offset += paddedTo4(t->data.size());
    }
    for (const auto* t : sorted) {
        out.append(t->data);
        out.padTo4();
    }
    return out.take();
}

const Table* SFNT::table(std::uint32_t tag) const {
    const auto it = std::find_if(tables.begin(), tables.end(), [tag](const Table& t) { return t.tag == tag; });
    return it == tables.end() ? nullptr : &*it;
}

Table* SFNT::table(std::uint32_t tag) {
    const auto it = std::find_if(tables.begin(), tables.end(), [tag](const Table& t) { return t.tag == tag; });
    return it == tables.end() ? nullptr : &*it;
}

std::uint32_t sfntChecksum(ByteView data) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 4 <= data.size(); i += 4) {
        sum += static_cast<std::uint32_t>(data[i]) << 24 | static_cast<std::uint32_t>(data[i + 1]) << 16 |
               static_cast<std::uint32_t>(data[i + 2]) << 8 | data[i + 3];
    }
    std::uint32_t last = 0;
    for (std::size_t shift = 24; i < data.size(); ++i, shift -= 8) last |= static_cast<std::uint32_t>(data[i]) << shift;
    return sum + last;
}

std::uint32_t stringToTag(std::string_view text) {
    std::uint32_t tag = 0;
    for (std::size_t i = 0; i < 4; ++i) tag = tag << 8 | (i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20u);
    return tag;
}

std::string tagToString(std::uint32_t tag) {
    std::string text(4, ' ');
    for (std::size_t i = 0; i < 4; ++i) text[i] = static_cast<char>((tag >> (24 - 8 * i)) & 0xFF);
    return text;
}

void sortTablesByTag(std::vector<Table>& tables) {
    std::stable_sort(tables.begin(), tables.end(), [](const Table& a, const Table& b) { return a.tag < b.tag; });
}

std::optional<std::uint16_t> be16(const Table* table, std::size_t offset) {
    if (table == nullptr || table->data.size() < offset + 2) return std::nullopt;
    return static_cast<std::uint16_t>(table->data[offset] << 8 | table->data[offset + 1]);
}

}  // namespace kv::FontConverter
