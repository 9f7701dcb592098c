// Converts images through the platform image service, and PDF pages to images.
#pragma once

#include "engine/convert_request.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kv::ImageConverter {

/// The output would exceed what the target format can hold; the message names the limit and the
/// image's size ("WebP images can be at most 16383 pixels wide and high; this one is …").
class ImageTooLarge : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// One still image into `request.target`: a raster type, or our own ICO, ICNS, SVG wrapper or
/// one-page PDF. RAW sources are developed first; truncated GIF/PNG/JPEG files are refused.
std::filesystem::path convert(const ConvertRequest& request);

/// Every page of a PDF to page_001.png … (or .jpg) in a new folder; returns the folder.
std::filesystem::path convertPDFPages(const ConvertRequest& request);

/// The platform type identifier written for `target`, or nothing (pdf_image, svg, jxl, raw, …).
std::optional<std::string_view> utTypeForFormat(SupportedFormat target);

} // namespace kv::ImageConverter
