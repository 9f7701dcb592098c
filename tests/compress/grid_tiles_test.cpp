// Single tiles of an encoded grid picture: the estimate measures its sample squares on them instead
// of decoding the whole picture, so each tile must hold what the whole decode holds there.
#include "compress/compressor.h"
#include "compress/ssim.h"
#include "formats/format_capabilities.h"
#include "image/heif_tile_reader.h"
#include "image/image_codec.h"
#include "support/test_support.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace kv {
namespace {

namespace img = image;

// Smooth colour ramps with a fine ripple: every tile differs and chroma varies everywhere.
img::Image picture(int width, int height) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            const double ripple = 30.0 * std::sin(x * 0.21) * std::cos(y * 0.17);
            p[0] =
                static_cast<std::uint8_t>(std::clamp(x * 200.0 / width + ripple + 20, 0.0, 255.0));
            p[1] =
                static_cast<std::uint8_t>(std::clamp(y * 200.0 / height - ripple + 30, 0.0, 255.0));
            p[2] = static_cast<std::uint8_t>((x + 2 * y) % 256);
            p[3] = 255;
        }
    }
    return img::Image::fromRgba8(rgba, width, height).flattened({});
}

struct Difference {
    int largest = 0;
    double mean = 0;
};

// Compares a decoded tile with the same place in the whole decode, over the part inside the
// picture.
Difference compare(const std::vector<std::uint8_t>& whole, int width, int height,
                   const std::vector<std::uint8_t>& tile, int tileWidth, int left, int top,
                   int tileHeight) {
    Difference difference;
    long total = 0;
    long count = 0;
    for (int y = top; y < std::min(height, top + tileHeight); ++y) {
        for (int x = left; x < std::min(width, left + tileWidth); ++x) {
            for (int c = 0; c < 3; ++c) {
                const int a = whole[(static_cast<std::size_t>(y) * width + x) * 4 + c];
                const int b =
                    tile[(static_cast<std::size_t>(y - top) * tileWidth + (x - left)) * 4 + c];
                difference.largest = std::max(difference.largest, std::abs(a - b));
                total += std::abs(a - b);
                ++count;
            }
        }
    }
    difference.mean = count ? static_cast<double>(total) / count : 0;
    return difference;
}

void expectTilesMatchTheWholeDecode(img::ImageType type, int width, int height, int columns,
                                    int rows) {
    const auto bytes = img::encodeImageToBytes(picture(width, height),
                                               {.type = type, .quality = 0.6, .fastest = true});
    const auto reader = img::HeifTileReader::open(bytes);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->width(), width);
    EXPECT_EQ(reader->height(), height);
    ASSERT_EQ(reader->columns(), columns);
    ASSERT_EQ(reader->rows(), rows);
    EXPECT_GE(reader->tileWidth() * columns, width);
    EXPECT_LT(reader->tileWidth() * (columns - 1), width);
    EXPECT_GE(reader->tileHeight() * rows, height);

    const auto whole = img::ImageSource::openBytes(bytes).decode(0, false).rgba8();
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const auto tile = reader->decodeTile(column, row);
            ASSERT_EQ(tile.width(), reader->tileWidth());
            ASSERT_EQ(tile.height(), reader->tileHeight());
            const auto d = compare(whole, width, height, tile.rgba8(), reader->tileWidth(),
                                   column * reader->tileWidth(), row * reader->tileHeight(),
                                   reader->tileHeight());
            // Chroma is smoothed across tile seams in the whole decode only.
            EXPECT_LE(d.largest, 12) << column << "," << row;
            EXPECT_LT(d.mean, 0.2) << column << "," << row;
        }
    }
    EXPECT_ANY_THROW((void)reader->decodeTile(columns, 0));
}

TEST(GridTiles, EachTileHoldsWhatTheWholeDecodeHoldsThere) {
    if (!img::canEncode(img::ImageType::heic))
        GTEST_SKIP() << "no HEIC encoder";
    expectTilesMatchTheWholeDecode(img::ImageType::heic, 1100, 700, 3, 2);
}

TEST(GridTiles, AvifGridsAreReadToo) {
    if (!img::canEncode(img::ImageType::avif))
        GTEST_SKIP() << "no AVIF encoder";
    expectTilesMatchTheWholeDecode(img::ImageType::avif, 1600, 500, 3, 1);
}

TEST(GridTiles, PicturesThatAreNotGridsOfOpaqueTilesAreLeftToTheWholeDecoder) {
    if (!img::canEncode(img::ImageType::heic))
        GTEST_SKIP() << "no HEIC encoder";
    // One coded picture, no grid.
    EXPECT_FALSE(img::HeifTileReader::open(img::encodeImageToBytes(
        picture(300, 200), {.type = img::ImageType::heic, .quality = 0.6})));
    // A grid with an alpha grid beside it.
    std::vector<std::uint8_t> rgba(700 * 600 * 4, 0x80);
    for (std::size_t i = 3; i < rgba.size(); i += 8)
        rgba[i] = 0x20;
    EXPECT_FALSE(img::HeifTileReader::open(img::encodeImageToBytes(
        img::Image::fromRgba8(rgba, 700, 600), {.type = img::ImageType::heic, .quality = 0.6})));
    // Not a HEIF file at all.
    const std::vector<std::uint8_t> junk(100, 7);
    EXPECT_ANY_THROW((void)img::HeifTileReader::open(junk));
}

// The five sample squares of a picture, in gray, cut from the whole of it.
std::vector<compress::Gray> samplesOf(const img::Image& picture) {
    const auto gray = picture.grayscale().rgba8();
    std::vector<compress::Gray> tiles;
    for (const auto& rect : compress::sampleTiles(picture.width(), picture.height())) {
        compress::Gray tile{rect.side, rect.side, {}};
        for (int y = rect.top; y < rect.top + rect.side; ++y)
            for (int x = rect.left; x < rect.left + rect.side; ++x)
                tile.px.push_back(gray[(static_cast<std::size_t>(y) * picture.width() + x) * 4]);
        tiles.push_back(std::move(tile));
    }
    return tiles;
}

// Each level's row: the size of the bytes an encode at its quality gives, and the loss the whole
// decode of those bytes gives on the sample squares.
TEST(GridTiles, EstimateMeasuresWhatTheWholeDecodeWouldShow) {
    if (!FormatCapabilities::canProduce(SupportedFormat::heic))
        GTEST_SKIP() << "no HEIC encoder";
    test::TempDir dir;
    const auto file = dir / "ramps.png";
    img::encodeImage(picture(1300, 900), file, {.type = img::ImageType::png});
    const auto source = img::ImageSource::open(file).decode(0, false);
    const auto sourceTiles = samplesOf(source);
    ASSERT_EQ(sourceTiles.size(), 5U);

    const auto rows = Compressor::estimates(file, SupportedFormat::png);
    ASSERT_GE(rows.size(), 3U);
    for (const auto& row : rows) {
        const auto bytes = img::encodeImageToBytes(
            source,
            {.type = img::ImageType::heic, .quality = imageQuality(row.level), .fastest = true});
        EXPECT_EQ(row.byteSize, static_cast<std::int64_t>(bytes.size())) << rawValue(row.level);
        const auto whole = img::ImageSource::openBytes(bytes).decode(0, false);
        const auto similarity = compress::meanSSIM(sourceTiles, samplesOf(whole));
        ASSERT_TRUE(similarity);
        ASSERT_TRUE(row.qualityLoss) << rawValue(row.level);
        EXPECT_NEAR(*row.qualityLoss, (1.0 - *similarity) * 100.0, 0.02) << rawValue(row.level);
    }

    // Pictures that are not HEIF grids are measured on their whole decode.
    const auto jpeg = dir / "ramps.jpg";
    img::encodeImage(source, jpeg, {.type = img::ImageType::jpeg, .quality = 1.0});
    const auto jpegRows = Compressor::estimates(jpeg, SupportedFormat::jpeg);
    ASSERT_GE(jpegRows.size(), 3U);
    for (const auto& row : jpegRows) {
        ASSERT_TRUE(row.qualityLoss) << rawValue(row.level);
        EXPECT_GT(*row.qualityLoss, 0.0) << rawValue(row.level);
    }
}

} // namespace
} // namespace kv
