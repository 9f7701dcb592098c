// ustar TAR reader: regular files only, links and special entries refused.
#pragma once

#include "archive/archive_bytes.h"

#include <filesystem>

namespace kv::ArchiveConverter {

/// True when the data holds a ustar magic at offset 257 (POSIX "ustar\0" or GNU "ustar  ").
bool isTarArchive(ByteView data);

/// Writes the regular files of the TAR stream under the existing folder `to`. Links, devices,
/// FIFOs and long-name records are refused together at the end, after the rest was written.
void extractTAR(ByteView data, const std::filesystem::path& to);

} // namespace kv::ArchiveConverter
