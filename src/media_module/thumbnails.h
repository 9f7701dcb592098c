// Small pictures of image and video files for the queue's rows (in the media modules).
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace kv::Thumbnails {

/// RGBA, 8 bits per channel, rows top to bottom.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

/// The image's primary frame, upright, longer side at most `maxPixelSize`. Throws PlatformError
/// when the file cannot be read as an image.
Picture image(const std::filesystem::path& file, int maxPixelSize);
/// The first frame of the first video track, upright, at most `maxPixelSize` wide. Throws
/// PlatformError when there is none.
Picture videoFrame(const std::filesystem::path& file, int maxPixelSize);

} // namespace kv::Thumbnails
