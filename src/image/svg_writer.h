// The SVG wrapper: a PNG of the image embedded as a data URI in an SVG document of the same size.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kv::image {

/// The SVG text for a width × height image whose PNG encoding is `png`.
std::string wrapPngInSvg(std::span<const std::uint8_t> png, int width, int height);

/// Standard Base64 without line breaks.
std::string base64(std::span<const std::uint8_t> bytes);

} // namespace kv::image
