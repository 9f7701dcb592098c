// Seed files that need the image or media libraries; they live in the media modules.
#pragma once

#include "formats/supported_format.h"

#include <filesystem>

namespace kv::SeedFiles {

/// A 64 × 64 RGB picture encoded as `format` (png, jpeg, jpg, heif, webp, jxl), or for raw a small
/// DNG sensor mosaic that LibRaw develops. Throws on failure.
void writeSeedImage(SupportedFormat format, const std::filesystem::path& file);

/// A one-second clip of coloured frames: mp4 (H.264 with a silent AAC track), avi (MPEG-4 Part 2
/// with MP3), webm (VP8 with Opus); mp3 is a 440 Hz tone. Throws on failure.
void writeSeedMedia(SupportedFormat format, const std::filesystem::path& file);

/// How many audio tracks the media file holds (0 when it cannot be opened).
int audioTrackCount(const std::filesystem::path& file);

} // namespace kv::SeedFiles
