// Multi-size ICO writer: 16, 32 and 48 pixels as 32-bit bitmaps, 256 pixels as PNG.
#pragma once

#include "image/image_codec.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace kv::image {

/// One square rendition of an icon.
struct IconRendition {
    int size = 0;                   // pixels per side
    std::vector<std::uint8_t> rgba; // size × size × 4, straight alpha
    std::vector<std::uint8_t> png;  // the same pixels as a PNG file
};

/// The icon sizes an ICO output holds, in directory order.
inline constexpr int kIcoSizes[] = {16, 32, 48, 256};

/// Square renditions of `image` stretched to each size (no aspect correction), largest drawn once.
std::vector<IconRendition> makeRenditions(const image::Image& image, std::span<const int> sizes);

/// The ICO file: renditions under 256 pixels as 32-bit BMP entries with an AND mask (read by every
/// ICO reader), 256 pixels as an embedded PNG.
std::vector<std::uint8_t> encodeIco(std::span<const IconRendition> renditions);

} // namespace kv::image
