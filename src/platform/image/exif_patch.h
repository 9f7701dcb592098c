// In-place edits of an EXIF block for encoders that take the block as bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kv::platform {

struct ExifEdits {
    std::optional<int> orientation = {};  // written where the block has an orientation tag
    std::optional<int> pixelWidth = {};   // PixelXDimension, where present
    std::optional<int> pixelHeight = {};  // PixelYDimension, where present
    bool removeGPS = false;          // every GPS entry and its data zeroed, the GPS directory emptied
    bool removeThumbnail = false;    // the second directory (the thumbnail) unlinked and zeroed
};

/// The TIFF-structured EXIF block (with or without the "Exif\0\0" prefix) with the edits applied;
/// offsets never move, removed data is overwritten with zeros. A malformed block gives nothing.
std::optional<std::vector<std::uint8_t>> patchExif(std::span<const std::uint8_t> exif, const ExifEdits& edits);

}  // namespace kv::platform
