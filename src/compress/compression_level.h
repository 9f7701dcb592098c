// The five compression levels, their encoder parameters, and one estimate row per level.
#pragma once

#include "formats/supported_format.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

/// Declaration order is the order of every listing and the sort order of estimates.
enum class CompressionLevel { maximum, high, balanced, small, tiny };

inline constexpr std::array<CompressionLevel, 5> allCompressionLevels{
    CompressionLevel::maximum, CompressionLevel::high, CompressionLevel::balanced,
    CompressionLevel::small, CompressionLevel::tiny};

/// "maximum", "high", "balanced", "small", "tiny": the identifier on the command line and in tools.
std::string_view rawValue(CompressionLevel level);
/// Exactly one of the five raw values; anything else is no level.
std::optional<CompressionLevel> compressionLevelFromRaw(std::string_view raw);

/// "Maximum Quality", "High", "Balanced", "Small", "Smallest".
std::string_view title(CompressionLevel level);
/// "Visually identical", "Safe for printing", … "Smallest usable".
std::string_view hint(CompressionLevel level);

/// Lossy image encoder quality, 0…1 (0.95 … 0.34).
double imageQuality(CompressionLevel level);
/// Share of the source video's data rate given to the H.264 encoder (0.85 … 0.20).
double videoBitrateFactor(CompressionLevel level);
/// AAC bit rate in bits per second before the per-channel cap (256000 … 64000).
std::int64_t audioBitrate(CompressionLevel level);

/// The H.264 bit rate a compressed video gets from a source data rate: the level's share, never
/// under 200 kbit/s.
std::int64_t videoBitrate(CompressionLevel level, double sourceDataRate);
/// The AAC bit rate of a compressed track with this many channels (mono stays mono, more become
/// stereo): the level's rate, at most 160 kbit/s a channel.
std::int64_t audioBitrate(CompressionLevel level, int sourceChannels);

/// One level's measured (images) or predicted (video, audio) result.
struct CompressionEstimate {
    CompressionLevel level = CompressionLevel::maximum;
    std::int64_t byteSize = 0; ///< measured or predicted output size
    std::optional<double> qualityLoss =
        std::nullopt;              ///< estimated visual loss in percent; measured images only
    std::int64_t originalSize = 0; ///< the source's size; 0 when unknown
    SupportedFormat outputFormat = SupportedFormat::jpeg;
    bool isEstimate = false; ///< true for predicted video and audio rows

    /// The level's raw value.
    std::string_view id() const { return rawValue(level); }
    /// round((original − size) / original × 100), halves away from zero, clamped to 0…99; 0 when
    /// the original size is below 1.
    int savedPercent() const;
};

/// "estimated", "—", "no visible loss" or "%.1f% loss": how a row's quality is shown.
std::string qualityText(const CompressionEstimate& estimate);
/// savedPercent() + "%".
std::string savedText(const CompressionEstimate& estimate);
/// The byte size in file-size style ("1.2 MB").
std::string sizeText(const CompressionEstimate& estimate);

} // namespace kv
