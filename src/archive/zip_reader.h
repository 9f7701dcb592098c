// ZIP reader: the end record, the central directory, stored and DEFLATE entries.
#pragma once

#include "archive/archive_bytes.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kv::ArchiveConverter {

/// Offset of the end-of-central-directory record, searched backwards over the last 65,557 bytes.
std::optional<std::size_t> findEOCD(ByteView data);

/// Unpacks every file entry of the ZIP at `source` under the existing folder `to`. Folder
/// entries and "__MACOSX" entries are skipped; entries that cannot be read are collected and
/// refused together at the end (files already written stay).
void extractZIP(const std::filesystem::path& source, const std::filesystem::path& to);
void extractZIP(ByteView data, const std::filesystem::path& to);

/// One file of a ZIP held in memory; `name` is the sanitised entry name.
struct ZipMember {
    std::string name;
    Bytes data;
};
/// Every file entry of a ZIP in memory, under the same rules and limits as extractZIP.
std::vector<ZipMember> readZIP(ByteView data);

} // namespace kv::ArchiveConverter
