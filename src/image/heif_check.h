// A full decode of a HEIF/AVIF file's primary image in the layout libheif decodes it to.
#pragma once

#include <filesystem>

namespace kv::image {

/// Decodes the primary image (and its alpha) of a HEIC, HEIF or AVIF file strictly, in whatever
/// planar layout libheif prefers (no interleaving, no geometry transforms, no vips pipeline).
/// Throws PlatformError with libheif's text on damage or truncation.
void verifyHeifFile(const std::filesystem::path& file);

} // namespace kv::image
