// One-page PDFs that hold an image (cairo).
#pragma once

#include "image/image_codec.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace kv::image {

/// Writes a one-page PDF whose page is the image's size × `scale` points, white under any
/// transparency. `jpegFile`, when given, is embedded as the image instead of re-encoding the pixels
/// (it must be the JPEG the image was decoded from, untransformed). Throws PlatformError.
void writeImagePdf(const Image& image, double scale, const std::filesystem::path& file,
                   std::span<const std::uint8_t> jpegFile = {});

} // namespace kv::image
