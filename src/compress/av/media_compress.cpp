// Video and audio at a compression level: duration and data rate of a source, and the transcode.
#include "av/media_service.h"
#include "compress/compress_services.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <cmath>
#include <system_error>

namespace kv::compress {
namespace {

constexpr int kMaxSampleRate = 48000; // Hz
constexpr int kMaxChannels = 2;
constexpr double kMaxProgress = 0.99; // 1.0 is the caller's to report

std::optional<av::Asset> load(const std::filesystem::path& file) {
    try {
        return av::loadAsset(file);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

av::Container containerFor(SupportedFormat target) {
    switch (target) {
    case SupportedFormat::mov: return av::Container::mov;
    case SupportedFormat::m4v: return av::Container::m4v;
    case SupportedFormat::m4a: return av::Container::m4a;
    default: return av::Container::mp4;
    }
}

} // namespace

double mediaDuration(const std::filesystem::path& file) {
    const auto asset = load(file);
    if (!asset || !std::isfinite(asset->duration) || asset->duration <= 0)
        return 0;
    return asset->duration;
}

std::optional<double> mediaBitrate(const std::filesystem::path& file) {
    const auto asset = load(file);
    if (asset) {
        // The first video track decides when there is one; audio is asked only without video.
        if (!asset->videoTracks.empty()) {
            if (asset->videoTracks.front().dataRate > 0)
                return static_cast<double>(asset->videoTracks.front().dataRate);
        } else if (!asset->audioTracks.empty() && asset->audioTracks.front().dataRate > 0) {
            return static_cast<double>(asset->audioTracks.front().dataRate);
        }
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    const double bits = error ? 0.0 : static_cast<double>(size) * 8.0;
    const double duration =
        asset && std::isfinite(asset->duration) && asset->duration > 0 ? asset->duration : 0.0;
    if (duration <= 0)
        return std::nullopt;
    return bits / duration;
}

int mediaAudioChannels(const std::filesystem::path& file) {
    const auto asset = load(file);
    if (!asset || asset->audioTracks.empty())
        return 0;
    return std::max(asset->audioTracks.front().channels, 0);
}

void transcodeMedia(const TranscodeRequest& request) {
    const auto asset = load(request.source);
    const bool hasVideo = request.isVideo && asset && !asset->videoTracks.empty();
    const bool hasAudio = asset && !asset->audioTracks.empty();
    if (!hasVideo && !hasAudio)
        throw ConversionError::failedToLoadFile();

    av::CompressSettings settings;
    settings.container = containerFor(request.target);
    settings.keepVideo = request.isVideo;
    if (hasVideo)
        settings.videoBitrate = static_cast<int>(
            videoBitrate(request.level, static_cast<double>(asset->videoTracks.front().dataRate)));
    const int channels = hasAudio ? asset->audioTracks.front().channels : kMaxChannels;
    settings.audioBitrate = static_cast<int>(audioBitrate(request.level, channels));
    settings.maxSampleRate = kMaxSampleRate;
    settings.maxChannels = kMaxChannels;

    // Written under a temporary name beside the output: a failed or cancelled transcode leaves
    // nothing.
    PendingOutput output(request.output);
    const auto progress = [&](double fraction) {
        if (request.progress)
            request.progress(std::clamp(fraction, 0.0, kMaxProgress));
    };
    try {
        av::compressAsset(request.source, output.path(), settings, progress, request.stop);
    } catch (const platform::MediaCancelled&) {
        throw ConversionError::cancelled();
    } catch (const PlatformError& failure) {
        const std::string message = *failure.what() != '\0' ? failure.what() : "encode failed";
        ConversionLogger::shared().error("Export session failed: " + message, "Compress");
        throw ConversionError::exportSessionFailed(message);
    }
    output.commit();
}

} // namespace kv::compress
