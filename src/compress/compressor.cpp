// Shrinking images, video and audio at a compression level, and estimating each level first.
#include "compress/compressor.h"

#include "base/size_text.h"
#include "compress/compress_services.h"
#include "compress/level_cache.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "formats/format_capabilities.h"

#include <algorithm>
#include <cmath>
#include <system_error>

namespace kv::Compressor {
namespace {

constexpr std::string_view kCategory = "Compress";
// A level is offered only when it saves more than this share of the source.
constexpr double kMeaningfulShare = 0.98;
constexpr std::string_view kNotSmaller = "The re-encoded file was not smaller \u2014 the original "
                                         "is already compressed harder than this level.";

std::int64_t fileSize(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

bool isAudio(SupportedFormat format) {
    return categoryOf(format) == FileCategory::audio;
}
bool isVideo(SupportedFormat format) {
    return categoryOf(format) == FileCategory::video;
}
bool isImage(SupportedFormat format) {
    return categoryOf(format) == FileCategory::image;
}

std::vector<CompressionEstimate> imageRows(const std::filesystem::path& file,
                                           SupportedFormat target, std::int64_t originalSize,
                                           const std::stop_token& stop) {
    const std::vector<CompressionLevel> levels(allCompressionLevels.begin(),
                                               allCompressionLevels.end());
    std::vector<CompressionEstimate> rows;
    for (auto& encoded : compress::measureImageLevels(file, target, levels, stop)) {
        rows.push_back({.level = encoded.level,
                        .byteSize = static_cast<std::int64_t>(encoded.bytes.size()),
                        .qualityLoss = encoded.qualityLoss,
                        .originalSize = originalSize,
                        .outputFormat = target,
                        .isEstimate = false});
        compress::LevelCache::store(
            file, target, encoded.level,
            std::make_shared<const std::vector<std::uint8_t>>(std::move(encoded.bytes)));
    }
    return rows;
}

std::vector<CompressionEstimate> mediaRows(const std::filesystem::path& file,
                                           SupportedFormat format, SupportedFormat target,
                                           std::int64_t originalSize) {
    const double duration = compress::mediaDuration(file);
    if (!(duration > 0))
        return {};
    std::optional<double> bitrate;
    if (isVideo(format)) {
        bitrate = compress::mediaBitrate(file);
        if (!bitrate || !(*bitrate > 0))
            return {};
    }
    // The rates the transcode will really use: the video's share never goes under its floor, and a
    // video's sound adds its own rate (a low-rate clip's sound can be most of its size).
    const int channels = compress::mediaAudioChannels(file);
    std::vector<CompressionEstimate> rows;
    for (const auto level : allCompressionLevels) {
        const auto audio = static_cast<double>(audioBitrate(level, channels));
        const double bitsPerSecond = bitrate ? static_cast<double>(videoBitrate(level, *bitrate)) +
                                                   (channels > 0 ? audio : 0)
                                             : audio;
        rows.push_back({.level = level,
                        .byteSize = static_cast<std::int64_t>(duration * bitsPerSecond * 0.125),
                        .qualityLoss = std::nullopt,
                        .originalSize = originalSize,
                        .outputFormat = target,
                        .isEstimate = true});
    }
    return rows;
}

} // namespace

std::optional<SupportedFormat> compressionTarget(SupportedFormat source) {
    using F = SupportedFormat;
    using FormatCapabilities::canProduce;
    switch (source) {
    case F::png:
    case F::tiff:
    case F::bmp:
    case F::psd:
    case F::tga:
        if (canProduce(F::heic))
            return F::heic;
        if (canProduce(F::jpeg))
            return F::jpeg;
        return std::nullopt;
    case F::jpeg:
    case F::jpg: return F::jpeg;
    case F::heic:
    case F::heif: return canProduce(F::heic) ? F::heic : F::jpeg;
    case F::avif: return canProduce(F::avif) ? F::avif : F::jpeg;
    case F::jp2: return canProduce(F::jp2) ? F::jp2 : F::jpeg;
    case F::mp4:
    case F::mov:
    case F::m4v: return source;
    case F::avi: return F::mp4;
    case F::mp3:
    case F::aac:
    case F::m4a:
    case F::wav:
    case F::aiff:
    case F::alac:
    case F::flac: return F::m4a;
    default: return std::nullopt;
    }
}

std::vector<CompressionEstimate> estimates(const std::filesystem::path& file,
                                           SupportedFormat format, std::stop_token stop) {
    try {
        const std::int64_t originalSize = fileSize(file);
        const auto target = compressionTarget(format);
        if (!target)
            return {};
        std::vector<CompressionEstimate> rows;
        if (isImage(format))
            rows = imageRows(file, *target, originalSize, stop);
        else if (isVideo(format) || isAudio(format))
            rows = mediaRows(file, format, *target, originalSize);
        const auto limit =
            static_cast<std::int64_t>(static_cast<double>(originalSize) * kMeaningfulShare);
        std::erase_if(rows, [&](const CompressionEstimate& row) { return row.byteSize >= limit; });
        std::sort(rows.begin(), rows.end(),
                  [](const CompressionEstimate& a, const CompressionEstimate& b) {
                      return a.level < b.level;
                  });
        return rows;
    } catch (const std::exception&) {
        return {}; // an estimate never fails: nothing is offered
    }
}

std::filesystem::path compress(const CompressRequest& request) {
    const auto target = compressionTarget(request.format);
    const bool media = isVideo(request.format) || isAudio(request.format);
    if (!target || !(media || isImage(request.format)))
        throw ConversionError::unsupportedConversion(displayName(request.format), "compressed");

    std::string baseName = baseNameOf(request.source);
    if (!request.replacingOriginal)
        baseName += " (compressed)";
    std::filesystem::create_directories(request.outputDir);
    const auto output =
        OutputNameRegistry::shared().reserve(request.outputDir, baseName, fileExtension(*target));

    if (media) {
        compress::transcodeMedia({.source = request.source,
                                  .output = output,
                                  .target = *target,
                                  .level = request.level,
                                  .isVideo = isVideo(request.format),
                                  .progress = request.progress,
                                  .stop = request.stop});
    } else {
        // The bytes of an estimate just made, when the file has not changed since.
        if (const auto kept = compress::LevelCache::find(request.source, *target, request.level)) {
            writeOutputFile(output, std::span<const std::uint8_t>(*kept));
        } else {
            const auto bytes =
                compress::encodeImageLevel(request.source, *target, request.level, request.stop);
            writeOutputFile(output, std::span<const std::uint8_t>(bytes));
        }
    }

    const std::int64_t outputSize = fileSize(output);
    const std::int64_t sourceSize = fileSize(request.source);
    if (sourceSize > 0 && outputSize >= sourceSize) {
        std::error_code ignored;
        std::filesystem::remove(output, ignored);
        throw ConversionError::corruptFile(kNotSmaller);
    }
    ConversionLogger::shared().success("Compressed " + std::string(title(request.level)) +
                                           " \u2192 " + formatByteCount(outputSize),
                                       kCategory, output.filename().string());
    return output;
}

} // namespace kv::Compressor
