// Walking a folder tree to pack it: the directory and file lists that every writer shares.
#pragma once

#include "archive/archive_bytes.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kv::ArchiveConverter {

/// Every folder under `dir`, as paths relative to `root`, parents before children (empty folders
/// included). Entries are visited in byte order of their names, so archives are reproducible.
/// Hidden entries are kept; only ".DS_Store" files are left out.
std::vector<std::string> gatherDirectories(const std::filesystem::path& dir,
                                           const std::filesystem::path& root);

/// Every entry under `dir` that is not a folder, as (path relative to `root`, location), depth
/// first in the same order. A symbolic link counts as a file; reading it reads its target.
std::vector<std::pair<std::string, std::filesystem::path>>
gatherFiles(const std::filesystem::path& dir, const std::filesystem::path& root);

/// The sum of the sizes of all regular files under `dir`, hidden ones included; 0 when the
/// folder cannot be read.
std::int64_t uncompressedSize(const std::filesystem::path& dir);

/// Appends the whole file at `file` to `out` (read straight into the buffer); returns the count.
std::size_t appendFileContents(Bytes& out, const std::filesystem::path& file);

/// The modification time of `file` in seconds since 1970, or `fallback` when it cannot be read.
std::int64_t modificationTime(const std::filesystem::path& file, std::int64_t fallback);

} // namespace kv::ArchiveConverter
