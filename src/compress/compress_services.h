// The compressor's work that needs the heavy libraries: image encoding and measuring (in
// kelvane-media.so) and media probing and transcoding (in kelvane-av.so). The executable reaches
// them through the forwarders in media_module/.
#pragma once

#include "compress/compression_level.h"
#include "formats/supported_format.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

namespace kv::compress {

/// One level of an image, encoded and measured.
struct EncodedLevel {
    CompressionLevel level = CompressionLevel::maximum;
    std::vector<std::uint8_t> bytes;
    std::optional<double> qualityLoss; // percent; none when the result could not be measured
};

/// Encodes the image at each of `levels` into `target` (both cores) and measures each result's
/// SSIM loss on the sample tiles. Levels that fail to encode are absent; an unreadable image gives
/// an empty list. Throws only ConversionError::cancelled.
std::vector<EncodedLevel> measureImageLevels(const std::filesystem::path& file,
                                             SupportedFormat target,
                                             const std::vector<CompressionLevel>& levels,
                                             std::stop_token stop);

/// The image encoded into `target` at the level's quality; ConversionError::conversionFailed when
/// it cannot be read or encoded.
std::vector<std::uint8_t> encodeImageLevel(const std::filesystem::path& file,
                                           SupportedFormat target, CompressionLevel level,
                                           std::stop_token stop);

/// Seconds, or 0 when unknown or unreadable.
double mediaDuration(const std::filesystem::path& file);

/// Bits per second of the first video track, else the first audio track, else size × 8 / duration.
std::optional<double> mediaBitrate(const std::filesystem::path& file);

/// Channels of the first audio track; 0 without one or when unreadable.
int mediaAudioChannels(const std::filesystem::path& file);

struct TranscodeRequest {
    std::filesystem::path source;
    std::filesystem::path output; // a reserved, free name; nothing is left there on failure
    SupportedFormat target = SupportedFormat::mp4;
    CompressionLevel level = CompressionLevel::maximum;
    bool isVideo = false;
    std::function<void(double)> progress = {};
    std::stop_token stop = {};
};

/// H.264 at the level's share of the source's data rate (at least 200 kbit/s, even sides, rotation
/// kept) and AAC at min(channels × 160 kbit/s, the level's rate), at most 48 kHz and two channels.
/// Throws ConversionError (failedToLoadFile, exportSessionFailed, cancelled).
void transcodeMedia(const TranscodeRequest& request);

} // namespace kv::compress
