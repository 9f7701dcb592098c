// The in-memory SFNT (TrueType/OpenType) font: a version tag and its tables.
#pragma once

#include "font/font_bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::FontConverter {

constexpr std::uint32_t kTrueTypeVersion = 0x00010000;
constexpr std::uint32_t kCFFVersion = 0x4F54544F;       // "OTTO"
constexpr std::uint32_t kAppleTrueVersion = 0x74727565; // "true"
constexpr std::uint32_t kCollectionTag = 0x74746366;    // "ttcf"

/// One font table.
struct Table {
    std::uint32_t tag = 0;      // four ASCII characters, big-endian
    std::uint32_t checksum = 0; // as carried over from the source's directory
    Bytes data;
};

struct SFNT {
    std::uint32_t sfntVersion = kTrueTypeVersion;
    std::vector<Table> tables; // in source directory order until written

    SFNT() = default;
    /// Parses a TrueType/OpenType file; throws corruptFile on a collection or damage.
    explicit SFNT(ByteView sfntData);

    /// The file: directory sorted by tag, each table padded to 4 bytes, stored checksums.
    Bytes sfntData() const;

    /// Sets sfntVersion to the outlines the font holds when it names the other kind (OTTO over
    /// glyf, or 0x00010000 over CFF): font engines such as FreeType refuse such a font. Returns
    /// whether it changed.
    bool matchVersionToOutlines();

    /// Sets every table's checksum from its bytes, and head.checkSumAdjustment so that the file
    /// `sfntData` writes sums to 0xB1B0AFBA (head's own checksum taken with it zeroed).
    void updateChecksums();

    const Table* table(std::uint32_t tag) const;
    Table* table(std::uint32_t tag);
};

/// The OpenType table checksum: big-endian 32-bit words (last one zero-padded) summed mod 2^32.
std::uint32_t sfntChecksum(ByteView data);

std::uint32_t stringToTag(std::string_view text);
std::string tagToString(std::uint32_t tag);

/// The big-endian 16-bit value at `offset` of `table`, or nothing when absent or too short.
std::optional<std::uint16_t> be16(const Table* table, std::size_t offset);

} // namespace kv::FontConverter
