// A picture decoded for drawing on a page: the HTML renderer's pictures come through here, so the
// page code needs no image library of its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace kv::image {

/// Row-major RGBA, 8 bits per component, straight alpha.
struct PagePicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

/// The file's primary frame, upright, shrunk to at most `longestSide` pixels on its longer side.
/// Throws when the file cannot be decoded.
PagePicture decodePagePicture(const std::filesystem::path& file, int longestSide);
/// The same for a picture held in memory (an encoded file's bytes).
PagePicture decodePagePicture(std::span<const std::uint8_t> bytes, int longestSide);

} // namespace kv::image
