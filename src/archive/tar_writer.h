// ustar TAR writer.
#pragma once

#include "archive/archive_bytes.h"

#include <filesystem>

namespace kv::ArchiveConverter {

/// The TAR stream of the tree under `from`: one header per folder, then each file's header,
/// bytes and padding, then two zero blocks. A path that ustar's name and prefix cannot hold is
/// written whole in a PAX extended header before its entry.
Bytes createTARData(const std::filesystem::path& from);

} // namespace kv::ArchiveConverter
