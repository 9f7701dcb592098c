// Images at each compression level: decoded once, encoded per level on both cores, and measured
// against the source on the sample tiles.
#include "compress/compress_services.h"
#include "compress/ssim.h"
#include "engine/conversion_error.h"
#include "image/heif_tile_reader.h"
#include "image/image_codec.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
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
        auto bytes = img::encodeImageToBytes(
            image, {.type = *type, .quality = quality, .stop = stop, .fastest = true});
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

// The sample tiles of a HEIF/AVIF grid picture, decoding only the grid tiles beneath them (a fifth
// of a 24-megapixel picture); none when the bytes are not a grid of opaque tiles.
std::optional<std::vector<Gray>> gridSampleTiles(std::span<const std::uint8_t> bytes) {
    const auto reader = img::HeifTileReader::open(bytes);
    if (!reader)
        return std::nullopt;
    const int tileWidth = reader->tileWidth();
    const int tileHeight = reader->tileHeight();
    std::map<std::pair<int, int>, Gray> decoded; // by column and row
    const auto gridTile = [&](int column, int row) -> const Gray& {
        auto found = decoded.find({column, row});
        if (found == decoded.end()) {
            auto gray = grayscale(reader->decodeTile(column, row));
            if (!gray || gray->w < tileWidth || gray->h < tileHeight)
                throw ConversionError::conversionFailed();
            found = decoded.emplace(std::pair{column, row}, std::move(*gray)).first;
        }
        return found->second;
    };
    std::vector<Gray> tiles;
    for (const TileRect& rect : sampleTiles(reader->width(), reader->height())) {
        Gray sample{rect.side, rect.side,
                    std::vector<double>(static_cast<std::size_t>(rect.side) *
                                        static_cast<std::size_t>(rect.side))};
        const int right = rect.left + rect.side;
        const int bottom = rect.top + rect.side;
        for (int row = rect.top / tileHeight; row * tileHeight < bottom; ++row) {
            for (int column = rect.left / tileWidth; column * tileWidth < right; ++column) {
                const Gray& tile = gridTile(column, row);
                const int x0 = std::max(rect.left, column * tileWidth);
                const int x1 = std::min(right, (column + 1) * tileWidth);
                for (int y = std::max(rect.top, row * tileHeight);
                     y < std::min(bottom, (row + 1) * tileHeight); ++y) {
                    const double* from =
                        tile.px.data() +
                        static_cast<std::ptrdiff_t>(y - row * tileHeight) * tile.w +
                        (x0 - column * tileWidth);
                    double* to = sample.px.data() +
                                 static_cast<std::ptrdiff_t>(y - rect.top) * rect.side +
                                 (x0 - rect.left);
                    std::copy(from, from + (x1 - x0), to);
                }
            }
        }
        tiles.push_back(std::move(sample));
    }
    return tiles;
}

std::optional<double> lossAgainst(const std::vector<Gray>& sourceTiles,
                                  std::span<const std::uint8_t> bytes, bool gridWriter) {
    try {
        auto tiles = gridWriter ? gridSampleTiles(bytes) : std::nullopt;
        if (!tiles)
            tiles = grayscaleTiles(img::ImageSource::openBytes(bytes).decode(0, false));
        const auto similarity = meanSSIM(sourceTiles, *tiles);
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

    // HEIC and AVIF are coded as grids of tiles on every core already: two levels encoding at once
    // only double the encoders held in memory (24 MP: 633 MB peak). They take turns, and a level's
    // measuring overlaps the next one's encoding.
    const bool tiledEncoder = target == SupportedFormat::heic || target == SupportedFormat::heif ||
                              target == SupportedFormat::avif;
    std::mutex encoderTurn;

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
                std::unique_lock turn(encoderTurn, std::defer_lock);
                if (tiledEncoder)
                    turn.lock();
                auto bytes = encodeImage(*image, target, imageQuality(levels[i]), stop);
                if (turn.owns_lock())
                    turn.unlock();
                if (!bytes)
                    continue;
                auto loss = lossAgainst(sourceTiles, *bytes, tiledEncoder);
                results[i] = EncodedLevel{levels[i], std::move(*bytes), loss};
            } catch (...) {
                std::lock_guard guard(failureLock);
                if (!failure)
                    failure = std::current_exception();
                return;
            }
        }
    };
    const auto workerCount =
        std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, levels.size());
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
