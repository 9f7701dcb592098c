// Images at each compression level: decoded once, encoded per level on both cores, and measured
// against the source on the sample tiles.
#include "compress/compress_services.h"
#include "compress/ssim.h"
#include "engine/conversion_error.h"
#include "image/image_codec.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace kv::compress {
namespace {

namespace img = image;

// The first frame, turned upright: our HEIF writer stores pixels as they are meant to be seen.
std::optional<img::Image> loadImage(const std::filesystem::path& file) {
    try {
        // Random access: the tiles are cropped from anywhere and every level reads the pixels
        // again.
        return img::ImageSource::open(file).decode(0, false).oriented();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<img::ImageType> encoderType(SupportedFormat format) {
    switch (format) {
    case SupportedFormat::jpeg:
    case SupportedFormat::jpg: return img::ImageType::jpeg;
    case SupportedFormat::heic:
    case SupportedFormat::heif: return img::ImageType::heic;
    case SupportedFormat::avif: return img::ImageType::avif;
    case SupportedFormat::jp2: return img::ImageType::jp2;
    default: return std::nullopt;
    }
}

// Throws only ConversionError::cancelled.
std::optional<std::vector<std::uint8_t>> encodeImage(const img::Image& image,
                                                     SupportedFormat format, double quality,
                                                     const std::stop_token& stop) {
    const auto type = encoderType(format);
    if (!type)
        return std::nullopt;
    try {
        auto bytes =
            img::encodeImageToBytes(image, {.type = *type, .quality = quality, .stop = stop});
        if (bytes.empty())
            return std::nullopt;
        return bytes;
    } catch (const std::exception&) {
        if (stop.stop_requested())
            throw ConversionError::cancelled();
        return std::nullopt;
    }
}

std::optional<Gray> grayscale(const img::Image& image) {
    try {
        const auto rgba = image.grayscale().rgba8(); // gray replicated into R, G and B
        Gray gray{image.width(), image.height(), {}};
        gray.px.resize(rgba.size() / 4);
        for (std::size_t i = 0; i < gray.px.size(); ++i)
            gray.px[i] = rgba[i * 4];
        return gray;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::vector<Gray> grayscaleTiles(const img::Image& image) {
    std::vector<Gray> tiles;
    for (const TileRect& rect : sampleTiles(image.width(), image.height())) {
        try {
            if (auto gray = grayscale(image.cropped(rect.left, rect.top, rect.side, rect.side)))
                tiles.push_back(std::move(*gray));
        } catch (const std::exception&) {
            // a tile that cannot be cut is left out
        }
    }
    return tiles;
}

std::optional<double> lossAgainst(const std::vector<Gray>& sourceTiles,
                                  std::span<const std::uint8_t> bytes) {
    try {
        const auto decoded = img::ImageSource::openBytes(bytes).decode(0, false);
        const auto similarity = meanSSIM(sourceTiles, grayscaleTiles(decoded));
        if (!similarity)
            return std::nullopt;
        return std::max(0.0, (1.0 - *similarity) * 100.0);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

std::vector<EncodedLevel> measureImageLevels(const std::filesystem::path& file,
                                             SupportedFormat target,
                                             const std::vector<CompressionLevel>& levels,
                                             std::stop_token stop) {
    if (levels.empty())
        return {};
    const auto image = loadImage(file);
    if (!image)
        return {};
    const std::vector<Gray> sourceTiles = grayscaleTiles(*image);

    // Levels on workers, at most one per core.
    std::vector<std::optional<EncodedLevel>> results(levels.size());
    std::atomic<std::size_t> next{0};
    std::mutex failureLock;
    std::exception_ptr failure;
    const auto work = [&] {
        for (std::size_t i = next++; i < levels.size(); i = next++) {
            try {
                if (stop.stop_requested())
                    throw ConversionError::cancelled();
                auto bytes = encodeImage(*image, target, imageQuality(levels[i]), stop);
                if (!bytes)
                    continue;
                auto loss = lossAgainst(sourceTiles, *bytes);
                results[i] = EncodedLevel{levels[i], std::move(*bytes), loss};
            } catch (...) {
                std::lock_guard guard(failureLock);
                if (!failure)
                    failure = std::current_exception();
                return;
            }
        }
    };
    // HEIC and AVIF are coded as grids of tiles on every core already: a second level alongside
    // only doubles the encoders held in memory (24 MP: 633 MB peak with two workers).
    const bool tiledEncoder = target == SupportedFormat::heic || target == SupportedFormat::heif ||
                              target == SupportedFormat::avif;
    const auto workerCount =
        tiledEncoder
            ? std::size_t{1}
            : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, levels.size());
    {
        std::vector<std::jthread> workers;
        for (std::size_t i = 1; i < workerCount; ++i)
            workers.emplace_back(work);
        work();
    }
    if (failure)
        std::rethrow_exception(failure);

    std::vector<EncodedLevel> encoded;
    for (auto& result : results)
        if (result)
            encoded.push_back(std::move(*result));
    return encoded;
}

std::vector<std::uint8_t> encodeImageLevel(const std::filesystem::path& file,
                                           SupportedFormat target, CompressionLevel level,
                                           std::stop_token stop) {
    const auto image = loadImage(file);
    if (!image)
        throw ConversionError::conversionFailed();
    auto bytes = encodeImage(*image, target, imageQuality(level), stop);
    if (!bytes)
        throw ConversionError::conversionFailed();
    return std::move(*bytes);
}

} // namespace kv::compress
