// An integrity check of a JPEG file that reads every Huffman-coded coefficient.
#pragma once

#include <filesystem>

namespace kv::image {

/// Decodes the file with libjpeg at 1/8 scale: only the DC term of each block is transformed, but
/// every coefficient is entropy-decoded, so corrupt or cut-off scans fail as in a full decode.
/// libjpeg reports corrupt data as warnings; any warning fails here. A single-scan file with
/// restart markers at MCU-row starts (our encoder writes one per row) is cut at those markers into
/// bands that decode on all cores. Throws PlatformError with libjpeg's text.
void verifyJpegFile(const std::filesystem::path& file);

} // namespace kv::image
