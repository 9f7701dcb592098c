// In-place edits of an EXIF block for encoders that take the block as bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kv::image {

struct ExifEdits {
    std::optional<int> orientation = {}; // written where the block has an orientation tag
    std::optional<int> pixelWidth = {};  // PixelXDimension, where present
    std::optional<int> pixelHeight = {}; // PixelYDimension, where present
    bool removeGps = false;       // every GPS entry and its data zeroed, the GPS directory emptied
    bool removeThumbnail = false; // the second directory (the thumbnail) unlinked and zeroed
};

/// The TIFF-structured EXIF block (with or without the "Exif\0\0" prefix) with the edits applied;
/// offsets never move, removed data is overwritten with zeros. A malformed block gives nothing.
std::optional<std::vector<std::uint8_t>> patchExif(std::span<const std::uint8_t> exif,
                                                   const ExifEdits& edits);

/// An EXIF block prepared to be stored whole inside a TIFF file at byte `position`: the EXIF, GPS
/// and interoperability directories (and their values) are rebased to file offsets, so the file's
/// own directory can point at them. The file must use the block's byte order.
struct RelocatedExif {
    std::vector<std::uint8_t> bytes;
    bool bigEndian = false;
    std::uint32_t exifDirectory = 0; // file offset of the EXIF directory, 0 when absent
    std::uint32_t gpsDirectory = 0;  // file offset of the GPS directory, 0 when absent or empty
    std::vector<std::pair<std::uint16_t, std::string>>
        texts; // the first directory's text fields (Make, Model …)
};

/// Nothing when the block is malformed or would end beyond 4 GiB.
std::optional<RelocatedExif> relocateExif(std::span<const std::uint8_t> exif,
                                          std::uint64_t position);

} // namespace kv::image
