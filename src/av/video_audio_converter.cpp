// Converts video and audio through the platform media service.
#include "av/video_audio_converter.h"

#include "av/media_service.h"
#include "base/size_text.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "platform/platform_error.h"

#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

namespace kv::VideoAudioConverter {
namespace {

constexpr std::string_view kVideo = "Video";
constexpr std::string_view kAudio = "Audio";
constexpr int kDefaultAacBitrate = 256000; // bits per second
// GIF delays are whole centiseconds and viewers stretch delays under 2 cs, so 50 fps is the most
// a GIF can play back faithfully.
constexpr double kMaxGifFPS = 50.0;

std::string fileName(const std::filesystem::path& path) {
    return path.filename().string();
}

std::string str(std::string_view text) {
    return std::string(text);
}

av::Preset bestVideoPreset(const std::filesystem::path& source, av::Container container) {
    for (const auto preset :
         {av::Preset::highestQuality, av::Preset::mediumQuality, av::Preset::passthrough})
        if (av::isPresetCompatible(source, preset, container))
            return preset;
    return av::Preset::passthrough;
}

void warnAboutSkipped(const av::TranscodeReport& report, std::string_view category) {
    if (report.skippedPackets > 0)
        ConversionLogger::shared().warning("Skipped " + std::to_string(report.skippedPackets) +
                                               " damaged packets of the source",
                                           category);
}

// Runs an export into a pending output and publishes it; failures leave nothing behind.
std::filesystem::path runExport(const ConvertRequest& request,
                                const std::filesystem::path& destination, av::Preset preset,
                                av::Container container, std::string_view category) {
    PendingOutput output(destination);
    try {
        warnAboutSkipped(av::exportAsset(request.source, output.path(), preset, container,
                                         request.progress, request.stop),
                         category);
    } catch (const platform::MediaCancelled&) {
        throw ConversionError::cancelled();
    } catch (const PlatformError& failure) {
        const std::string message = *failure.what() != '\0' ? failure.what() : "Unknown error";
        ConversionLogger::shared().error("Export session failed: " + message, category);
        throw ConversionError::exportSessionFailed(message);
    }
    return output.commit();
}

std::optional<av::Container> containerFor(SupportedFormat target) {
    switch (target) {
    case SupportedFormat::mp4: return av::Container::mp4;
    case SupportedFormat::mov: return av::Container::mov;
    case SupportedFormat::m4v: return av::Container::m4v;
    case SupportedFormat::aac:
    case SupportedFormat::m4a:
    case SupportedFormat::alac: return av::Container::m4a;
    case SupportedFormat::wav: return av::Container::wav;
    case SupportedFormat::aiff: return av::Container::aiff;
    case SupportedFormat::flac: return av::Container::flac;
    default: return std::nullopt;
    }
}

av::AudioSettings audioSettingsFor(SupportedFormat target, std::optional<int> bitrate) {
    const int aacBitrate = bitrate && *bitrate > 0 ? *bitrate : kDefaultAacBitrate;
    switch (target) {
    // An .aac file is a bare ADTS stream; the encoder settings are those of M4A.
    case SupportedFormat::aac: return {av::AudioCodec::aac, av::Container::adts, aacBitrate};
    case SupportedFormat::m4a: return {av::AudioCodec::aac, av::Container::m4a, aacBitrate};
    case SupportedFormat::wav: return {av::AudioCodec::pcm16LittleEndian, av::Container::wav, 0};
    case SupportedFormat::aiff: return {av::AudioCodec::pcm16BigEndian, av::Container::aiff, 0};
    case SupportedFormat::alac: return {av::AudioCodec::alac, av::Container::m4a, 0};
    case SupportedFormat::flac: return {av::AudioCodec::flac, av::Container::flac, 0};
    default: return {av::AudioCodec::aac, av::Container::m4a, 0};
    }
}

} // namespace

std::filesystem::path convertVideo(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    const std::string targetName = str(displayName(request.target));
    log.info("Video: " + fileName(request.source) + " \u2192 " + targetName, kVideo);
    const auto destination = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source), fileExtension(request.target));

    const av::Asset asset = av::loadAsset(request.source);
    if (!(asset.duration > 0)) {
        log.error("Asset reports zero duration", kVideo);
        throw ConversionError::corruptFile("Video has zero duration");
    }
    const auto container = containerFor(request.target);
    if (!container || *container == av::Container::m4a) { // audio containers hold no video
        log.error("No AVFileType for " + targetName, kVideo);
        throw ConversionError::unsupportedConversion("Video", targetName);
    }
    return runExport(request, destination, bestVideoPreset(request.source, *container), *container,
                     kVideo);
}

std::filesystem::path extractAudio(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    log.info("Extract audio: " + fileName(request.source), kVideo);
    const auto destination = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source) + " (audio)", "m4a");
    const av::Asset asset = av::loadAsset(request.source);
    if (asset.audioTracks.empty()) {
        log.error("No audio track present", kVideo);
        throw ConversionError::corruptFile("Video has no audio track");
    }
    return runExport(request, destination, av::Preset::appleM4A, av::Container::m4a, kVideo);
}

std::filesystem::path convertAudio(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    log.info("Audio: " + fileName(request.source) + " \u2192 " + str(displayName(request.target)),
             kAudio);
    const auto destination = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source), fileExtension(request.target));

    av::Asset asset;
    try {
        asset = av::loadAsset(request.source);
        if (asset.audioTracks.empty())
            throw PlatformError("No audio track in " + fileName(request.source));
    } catch (const PlatformError& failure) {
        log.error("Cannot open source audio: " + str(failure.what()), kAudio);
        throw;
    }
    if (!(asset.duration > 0)) {
        log.error("Audio has zero frames", kAudio);
        throw ConversionError::corruptFile("Audio file has zero frames");
    }

    PendingOutput output(destination); // removed unless committed: no partial file on any failure
    try {
        warnAboutSkipped(av::transcodeAudio(request.source, output.path(),
                                            audioSettingsFor(request.target, request.audioBitrate),
                                            request.progress, request.stop),
                         kAudio);
    } catch (const platform::MediaCancelled&) {
        throw ConversionError::cancelled();
    }
    return output.commit();
}

std::filesystem::path videoToGIF(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    const double fps = request.gifFPS > 0 && std::isfinite(request.gifFPS)
                           ? std::min(request.gifFPS, kMaxGifFPS)
                           : 10.0;
    log.info("Video \u2192 GIF: " + fileName(request.source) + " @ " + formatDecimal(fps) + "fps",
             kVideo);
    const auto destination =
        OutputNameRegistry::shared().reserve(request.outputDir, baseNameOf(request.source), "gif");

    const double duration = std::max(av::loadAsset(request.source).duration, 0.001);
    try {
        auto frames =
            std::make_unique<av::FrameGenerator>(request.source, request.gifMaxWidth, request.stop);
        const int count = std::max(1, static_cast<int>(std::floor(fps * duration)));
        const double delay = 1.0 / fps;

        PendingOutput output(destination);
        av::GifWriter writer(output.path(), request.stop);
        for (int i = 0; i < count; ++i) {
            if (request.stop.stop_requested())
                throw ConversionError::cancelled();
            if (auto frame = frames->frameAt(i * delay))
                writer.addFrame(*frame, delay);
            if (request.progress)
                request.progress(static_cast<double>(i + 1) / count);
        }
        // The decoder and its picture pool go before the palette pass, so the memory of each frame
        // the writer has mapped is freed rather than kept for pictures that will not come.
        frames.reset();
        try {
            writer.finish();
        } catch (const PlatformError& failure) {
            log.error("GIF could not be finished: " + str(failure.what()), kVideo);
            throw ConversionError::conversionFailed();
        }
        const auto written = output.commit();
        log.success("Wrote " + std::to_string(count) + " GIF frames", kVideo);
        return written;
    } catch (const platform::MediaCancelled&) {
        throw ConversionError::cancelled();
    }
}

std::filesystem::path gifToVideo(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    const std::string targetName = str(displayName(request.target));
    log.info("GIF \u2192 " + targetName + ": " + fileName(request.source), kVideo);
    const auto destination = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source), fileExtension(request.target));

    std::optional<av::GifReader> reader;
    try {
        reader.emplace(request.source);
    } catch (const PlatformError& failure) {
        log.error("Cannot open GIF: " + str(failure.what()), kVideo);
        throw ConversionError::failedToLoadFile();
    }
    const int count = reader->frameCount();
    if (count <= 0)
        throw ConversionError::corruptFile("GIF has no frames");
    if (reader->endsEarly())
        log.warning("GIF is damaged after frame " + std::to_string(count) +
                        "; the rest is left out",
                    kVideo);
    std::optional<av::VideoFrame> first = reader->decodeNext();
    if (!first)
        throw ConversionError::corruptFile("Cannot decode first GIF frame");

    // H.264 in 4:2:0 needs even sides of at least 2 pixels.
    const int width = std::max(2, first->width() & ~1);
    const int height = std::max(2, first->height() & ~1);
    const auto container = containerFor(request.target);
    if (!container || (*container != av::Container::mp4 && *container != av::Container::mov &&
                       *container != av::Container::m4v))
        throw ConversionError::unsupportedConversion("GIF", targetName);

    try {
        PendingOutput output(destination);
        av::H264Writer writer(output.path(), *container, width, height, request.stop);
        double time = 0;
        for (int i = 0; i < count; ++i) {
            const double delay = reader->delay(i);
            std::optional<av::VideoFrame> frame = i == 0 ? std::move(first) : reader->decodeNext();
            if (!frame) {
                log.warning("Skipped undecodable GIF frame " + std::to_string(i + 1), kVideo);
                continue;
            }
            writer.append(*frame, time, delay);
            time += delay;
            if (request.progress)
                request.progress(static_cast<double>(i + 1) / count);
        }
        try {
            writer.finish();
        } catch (const PlatformError& failure) {
            throw ConversionError::exportSessionFailed(failure.what());
        }
        const auto written = output.commit();
        log.success("Wrote " + std::to_string(count) + " frames", kVideo);
        return written;
    } catch (const platform::MediaCancelled&) {
        throw ConversionError::cancelled();
    }
}

} // namespace kv::VideoAudioConverter
