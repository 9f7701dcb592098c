// Repacks one archive format into another through a staging folder.
#pragma once

#include "engine/convert_request.h"

#include <filesystem>

namespace kv::ArchiveConverter {

/// Unpacks the source (zip, tar, gzip, xz or bz2) into a private staging folder and packs that
/// tree in the target format under a reserved name in the output folder. Returns the output.
std::filesystem::path convert(const ConvertRequest& request);

/// Unpacks `source` in `format` into the existing folder `to`. A gzip, xz or bz2 payload that is
/// not a TAR stream becomes one file named after the source without its last extension.
void extractArchive(const std::filesystem::path& source, SupportedFormat format,
                    const std::filesystem::path& to);

/// Packs the tree under `from` into a new file `output` in `format`.
void createArchive(const std::filesystem::path& from, SupportedFormat format,
                   const std::filesystem::path& output);

} // namespace kv::ArchiveConverter
