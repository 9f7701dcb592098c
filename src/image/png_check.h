// A complete integrity check of a PNG file that skips the pixel arithmetic.
#pragma once

#include <filesystem>

namespace kv::image {

/// Reads `file` from start to end: every chunk's CRC, the header, and the whole image stream
/// inflated (Adler-32 checked) to exactly the size the header promises, with valid row filter
/// types; IEND must close it. Undoing the filters cannot fail, so it is skipped. Throws
/// PlatformError naming the first fault.
void verifyPngFile(const std::filesystem::path& file);

} // namespace kv::image
