// TAR reader (ustar, GNU and PAX): regular files only, links and special entries refused.
#pragma once

#include "archive/archive_bytes.h"

#include <filesystem>

namespace kv::ArchiveConverter {

/// True when the data holds a ustar magic at offset 257 (POSIX "ustar\0" or GNU "ustar  ").
bool isTarArchive(ByteView data);

/// Writes the regular files of the TAR stream under the existing folder `to`. GNU long names and
/// PAX path, linkpath and size records apply to the entry that follows them; every header's
/// checksum is verified. Links, devices and FIFOs are refused together at the end, after the rest
/// was written; a sparse file is refused at once.
void extractTAR(ByteView data, const std::filesystem::path& to);

} // namespace kv::ArchiveConverter
