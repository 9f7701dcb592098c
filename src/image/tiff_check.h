// A parallel integrity check of a deflate- or un-compressed striped TIFF's first image.
#pragma once

#include <filesystem>

namespace kv::image {

/// For a classic TIFF whose first image is stored in strips, uncompressed or deflated: checks that
/// every strip lies inside the file and inflates (on all cores) to exactly its rows' size. False
/// when the file is laid out otherwise (tiles, other codecs, BigTIFF …) and needs a full decode;
/// throws PlatformError naming the first fault.
bool verifyTiffStrips(const std::filesystem::path& file);

} // namespace kv::image
