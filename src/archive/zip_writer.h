// ZIP writer: local headers, central directory and end record, entries deflated in parallel.
#pragma once

#include "archive/archive_bytes.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kv::ArchiveConverter {

/// An MS-DOS time and date pair as ZIP stores them.
struct DosTimestamp {
    std::uint16_t time = 0;
    std::uint16_t date = 0;
};

/// `unixSeconds` broken down in the local time zone; the year is clamped to 1980…2107.
DosTimestamp dosTimestamp(std::int64_t unixSeconds);

enum class ZipMethod { stored, deflated };

/// One entry to write. A name ending in "/" is a folder entry (its data is ignored).
struct ZipEntry {
    std::string name;
    std::string data;
    ZipMethod method = ZipMethod::deflated; // deflated falls back to stored when it does not shrink
    std::optional<std::int64_t> modified;   // Unix seconds; none: the current time
};

/// The bytes of a ZIP holding `entries` in this order (so "mimetype" can come first).
/// Throws corruptFile with the ZIP limit messages when a field would overflow.
Bytes buildZIP(std::span<const ZipEntry> entries);

/// Packs the tree under `from` (every folder, then every file; `from` itself is not an entry)
/// into a new ZIP at `to`, which must not exist yet. Returns `to`.
std::filesystem::path createZIP(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace kv::ArchiveConverter
