// The five compression levels, their encoder parameters, and one estimate row per level.
#include "compress/compression_level.h"

#include "base/size_text.h"

#include <algorithm>
#include <cmath>

namespace kv {
namespace {

struct LevelRow {
    CompressionLevel level;
    std::string_view raw;
    std::string_view title;
    std::string_view hint;
    double imageQuality;
    double videoBitrateFactor;
    std::int64_t audioBitrate; // bit/s
};

constexpr std::array<LevelRow, 5> kLevels{{
    {CompressionLevel::maximum, "maximum", "Maximum Quality", "Visually identical", 0.95, 0.85,
     256000},
    {CompressionLevel::high, "high", "High", "Safe for printing", 0.82, 0.65, 192000},
    {CompressionLevel::balanced, "balanced", "Balanced", "Good for sharing", 0.65, 0.45, 128000},
    {CompressionLevel::small, "small", "Small", "Good for the web", 0.48, 0.30, 96000},
    {CompressionLevel::tiny, "tiny", "Smallest", "Smallest usable", 0.34, 0.20, 64000},
}};

const LevelRow& row(CompressionLevel level) {
    return kLevels[static_cast<std::size_t>(level)];
}

// Below this loss (in percent) a row reads "no visible loss".
constexpr double kInvisibleLossPercent = 0.05;

} // namespace

std::string_view rawValue(CompressionLevel level) {
    return row(level).raw;
}

std::optional<CompressionLevel> compressionLevelFromRaw(std::string_view raw) {
    for (const auto& r : kLevels)
        if (r.raw == raw)
            return r.level;
    return std::nullopt;
}

std::string_view title(CompressionLevel level) {
    return row(level).title;
}
std::string_view hint(CompressionLevel level) {
    return row(level).hint;
}
double imageQuality(CompressionLevel level) {
    return row(level).imageQuality;
}
double videoBitrateFactor(CompressionLevel level) {
    return row(level).videoBitrateFactor;
}
std::int64_t audioBitrate(CompressionLevel level) {
    return row(level).audioBitrate;
}

std::int64_t videoBitrate(CompressionLevel level, double sourceDataRate) {
    constexpr std::int64_t kLeast = 200000;
    const double scaled = videoBitrateFactor(level) * sourceDataRate;
    if (!(scaled > static_cast<double>(kLeast))) // also NaN
        return kLeast;
    return static_cast<std::int64_t>(scaled);
}

std::int64_t audioBitrate(CompressionLevel level, int sourceChannels) {
    constexpr std::int64_t kPerChannel = 160000;
    const std::int64_t channels = sourceChannels == 1 ? 1 : 2;
    return std::min(channels * kPerChannel, audioBitrate(level));
}

int CompressionEstimate::savedPercent() const {
    if (originalSize < 1)
        return 0;
    const double saved =
        static_cast<double>(originalSize - byteSize) / static_cast<double>(originalSize) * 100.0;
    return static_cast<int>(std::clamp<long>(std::lround(saved), 0, 99));
}

std::string qualityText(const CompressionEstimate& estimate) {
    if (!estimate.qualityLoss)
        return estimate.isEstimate ? "estimated" : "—";
    if (*estimate.qualityLoss < kInvisibleLossPercent)
        return "no visible loss";
    return formatFixed(*estimate.qualityLoss, 1) + "% loss";
}

std::string savedText(const CompressionEstimate& estimate) {
    return std::to_string(estimate.savedPercent()) + "%";
}

std::string sizeText(const CompressionEstimate& estimate) {
    return formatByteCount(estimate.byteSize);
}

} // namespace kv
