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
constexpr std::size_t kCheckSumAdjustmentOffset = 8; // head
constexpr std::uint32_t kCheckSumMagic = 0xB1B0AFBA; // what a whole font file sums to

} // namespace

SFNT::SFNT(ByteView sfntData) {
    ByteReader reader(sfntData);
    sfntVersion = reader.u32();
    if (sfntVersion == kCollectionTag) {
        throw ConversionError::corruptFile(
            "This is a TrueType Collection (.ttc) containing multiple fonts "
            "\u2014 extract a single font first.");
    }
    if (sfntVersion != kTrueTypeVersion && sfntVersion != kCFFVersion &&
        sfntVersion != kAppleTrueVersion) {
        throw ConversionError::corruptFile("Not a recognised font container.");
    }
    const auto numTables = reader.u16();
    reader.skip(6); // searchRange, entrySelector, rangeShift: derived values, not trusted
    if (numTables == 0)
        throw ConversionError::corruptFile("Font contains no tables.");

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
            throw ConversionError::corruptFile(
                "Font table extends past end of file \u2014 the file is truncated.");
        }
        total += r.length;
        records.push_back(r);
    }
    // Tables may overlap, so their copies could add up to far more than the file.
    if (total > kMaxFontBytes)
        throw ConversionError::corruptFile(kFontTooLargeMessage);
    tables.reserve(numTables);
    for (const auto& r : records) {
        const auto bytes = sfntData.subspan(static_cast<std::size_t>(r.offset),
                                            static_cast<std::size_t>(r.length));
        tables.push_back({r.tag, r.checksum, Bytes(bytes.begin(), bytes.end())});
    }
}

namespace {

// Tables in the order the file lists them: by tag, ascending (stable for duplicate tags).
std::vector<const Table*> sortedTables(const std::vector<Table>& tables) {
    std::vector<const Table*> sorted;
    sorted.reserve(tables.size());
    for (const auto& t : tables)
        sorted.push_back(&t);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Table* a, const Table* b) { return a->tag < b->tag; });
    if (sorted.size() > 0xFFFF)
        throw ConversionError::conversionFailed(); // numTables is 16 bits
    return sorted;
}

// The offset table and table records, as the file starts.
void writeDirectory(ByteWriter& out, std::uint32_t sfntVersion,
                    const std::vector<const Table*>& sorted) {
    const auto n = static_cast<std::uint16_t>(sorted.size());
    const auto entrySelector = n == 0 ? 0u : static_cast<unsigned>(std::bit_width(unsigned{n}) - 1);
    const auto searchRange = n == 0 ? 0u : 16u << entrySelector;
    out.u32be(sfntVersion);
    out.u16be(n);                                                 // numTables
    out.u16be(static_cast<std::uint16_t>(searchRange));           // searchRange
    out.u16be(static_cast<std::uint16_t>(entrySelector));         // entrySelector
    out.u16be(static_cast<std::uint16_t>(16u * n - searchRange)); // rangeShift
    std::uint64_t offset = kHeaderBytes + kRecordBytes * n;
    for (const auto* t : sorted) {
        out.u32be(t->tag);
        out.u32be(t->checksum);
        out.u32be(static_cast<std::uint32_t>(offset));
        out.u32be(static_cast<std::uint32_t>(t->data.size()));
        offset += paddedTo4(t->data.size());
    }
}

} // namespace

Bytes SFNT::sfntData() const {
    const auto sorted = sortedTables(tables);
    std::uint64_t total = kHeaderBytes + kRecordBytes * sorted.size();
    for (const auto* t : sorted)
        total += paddedTo4(t->data.size());

    ByteWriter out;
    out.reserve(static_cast<std::size_t>(total));
    writeDirectory(out, sfntVersion, sorted);
    for (const auto* t : sorted) {
        out.append(t->data);
        out.padTo(4);
    }
    return out.take();
}

bool SFNT::matchVersionToOutlines() {
    const bool truetype = table(stringToTag("glyf")) != nullptr;
    const bool cff = table(stringToTag("CFF ")) != nullptr || table(stringToTag("CFF2")) != nullptr;
    const auto wanted = truetype && !cff   ? kTrueTypeVersion
                        : cff && !truetype ? kCFFVersion
                                           : sfntVersion;
    // "true" (Apple TrueType) also names glyf outlines: only a version of the other kind is wrong.
    if (wanted == sfntVersion || (wanted == kTrueTypeVersion && sfntVersion == kAppleTrueVersion))
        return false;
    sfntVersion = wanted;
    return true;
}

void SFNT::updateChecksums() {
    Table* head = table(stringToTag("head"));
    const bool adjustable = head != nullptr && head->data.size() >= kCheckSumAdjustmentOffset + 4;
    if (adjustable)
        std::fill_n(head->data.begin() + kCheckSumAdjustmentOffset, 4, std::uint8_t{0});
    for (auto& t : tables)
        t.checksum = sfntChecksum(t.data);
    if (!adjustable)
        return;
    // Tables start on 4-byte boundaries and pad with zeros, so the whole file sums to the
    // directory's sum plus every table's.
    ByteWriter directory;
    writeDirectory(directory, sfntVersion, sortedTables(tables));
    std::uint32_t sum = sfntChecksum(directory.bytes());
    for (const auto& t : tables)
        sum += t.checksum;
    const std::uint32_t adjustment = kCheckSumMagic - sum;
    for (int i = 0; i < 4; ++i) {
        head->data[kCheckSumAdjustmentOffset + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(adjustment >> (24 - 8 * i));
    }
}

const Table* SFNT::table(std::uint32_t tag) const {
    const auto it =
        std::find_if(tables.begin(), tables.end(), [tag](const Table& t) { return t.tag == tag; });
    return it == tables.end() ? nullptr : &*it;
}

Table* SFNT::table(std::uint32_t tag) {
    const auto it =
        std::find_if(tables.begin(), tables.end(), [tag](const Table& t) { return t.tag == tag; });
    return it == tables.end() ? nullptr : &*it;
}

std::uint32_t sfntChecksum(ByteView data) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 4 <= data.size(); i += 4)
        sum += loadU32be(data, i);
    std::uint32_t last = 0;
    for (std::size_t shift = 24; i < data.size(); ++i, shift -= 8)
        last |= static_cast<std::uint32_t>(data[i]) << shift;
    return sum + last;
}

std::uint32_t stringToTag(std::string_view text) {
    std::uint32_t tag = 0;
    for (std::size_t i = 0; i < 4; ++i)
        tag = tag << 8 | (i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20u);
    return tag;
}

std::string tagToString(std::uint32_t tag) {
    std::string text(4, ' ');
    for (std::size_t i = 0; i < 4; ++i)
        text[i] = static_cast<char>((tag >> (24 - 8 * i)) & 0xFF);
    return text;
}

std::optional<std::uint16_t> be16(const Table* table, std::size_t offset) {
    if (table == nullptr || table->data.size() < offset + 2)
        return std::nullopt;
    return loadU16be(table->data, offset);
}

} // namespace kv::FontConverter
