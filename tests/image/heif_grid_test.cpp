// HEIC and AVIF written as grids of separately coded tiles: every tile lands in its place, the
// padding is cropped, alpha and metadata travel, and other readers accept the files. Also: a stop
// request ends the streaming encoders.
#include "engine/convert_request.h"
#include "image/heif_grid.h"
#include "image/image_codec.h"
#include "image/image_converter.h"
#include "image_fixtures.h"
#include "platform/platform_error.h"
#include "validate/validator.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using F = SupportedFormat;
using image::HeifTiling;
using image::planHeifTiles;

constexpr int kBlock = 50;

// A flat colour per 50-pixel block, different for every block, so a misplaced tile shows.
std::array<int, 4> blockColour(int bx, int by, bool withAlpha) {
    const int alpha = withAlpha && (bx + by) % 3 == 0 ? 0 : 255;
    return {(bx * 41 + 20) % 236 + 10, (by * 67 + 90) % 236 + 10, ((bx + 2 * by) * 29) % 236 + 10,
            alpha};
}

// Writes the block pattern as a PAM file and turns it into a PNG with ImageMagick.
fs::path blockPicture(const fs::path& dir, int width, int height, bool withAlpha) {
    const int channels = withAlpha ? 4 : 3;
    std::string pam = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
                      "\nDEPTH " + std::to_string(channels) + "\nMAXVAL 255\nTUPLTYPE " +
                      (withAlpha ? "RGB_ALPHA" : "RGB") + "\nENDHDR\n";
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto colour = blockColour(x / kBlock, y / kBlock, withAlpha);
            for (int c = 0; c < channels; ++c)
                pam.push_back(static_cast<char>(colour[static_cast<std::size_t>(c)]));
        }
    const fs::path raw = dir / "blocks.pam";
    writeFile(raw, pam);
    const fs::path png = dir / (withAlpha ? "blocks-alpha.png" : "blocks.png");
    tool({"convert", raw.string(), png.string()});
    return png;
}

struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
    std::array<int, 4> at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                               static_cast<std::size_t>(x)) *
                              4;
        return {rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]};
    }
};

// The primary picture as libheif decodes it, with its transformations, as RGBA.
Decoded decodeWithLibheif(const fs::path& file) {
    Decoded decoded;
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                        &heif_context_free);
    if (heif_context_read_from_file(context.get(), file.c_str(), nullptr).code != heif_error_Ok)
        return decoded;
    heif_image_handle* handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok)
        return decoded;
    heif_image* image = nullptr;
    const heif_error error = heif_decode_image(handle, &image, heif_colorspace_RGB,
                                               heif_chroma_interleaved_RGBA, nullptr);
    heif_image_handle_release(handle);
    if (error.code != heif_error_Ok)
        return decoded;
    decoded.width = heif_image_get_width(image, heif_channel_interleaved);
    decoded.height = heif_image_get_height(image, heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < decoded.height; ++y)
        decoded.rgba.insert(decoded.rgba.end(), plane + static_cast<std::ptrdiff_t>(y) * stride,
                            plane + static_cast<std::ptrdiff_t>(y) * stride + decoded.width * 4);
    heif_image_release(image);
    return decoded;
}

class HeifGridTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"convert", "identify", "exiftool", "vips"})
            if (!haveTool(name))
                GTEST_SKIP() << name << " makes or reads the fixtures";
    }
    TempDir dir;
};

TEST(HeifTilePlan, TilesCoverThePictureWithinTheFormatsLimits) {
    for (const std::uint32_t width :
         {1U, 63U, 512U, 513U, 1100U, 6000U, 131072U, 200001U, 1000000U}) {
        for (const std::uint32_t height : {1U, 700U, 4000U, 300000U}) {
            const HeifTiling plan = planHeifTiles(width, height, 512);
            const std::string name = std::to_string(width) + "x" + std::to_string(height);
            EXPECT_EQ(plan.tileWidth % 16, 0U) << name;
            EXPECT_EQ(plan.tileHeight % 16, 0U) << name;
            EXPECT_GE(plan.tileWidth, 64U) << name;
            EXPECT_GE(plan.tileHeight, 64U) << name;
            EXPECT_LE(plan.columns, 256U) << name;
            EXPECT_LE(plan.rows, 256U) << name;
            EXPECT_LE(plan.columns * plan.rows, 0xffffU) << name;
            // Covered, and the last column and row still reach into the picture.
            EXPECT_GE(std::uint64_t{plan.columns} * plan.tileWidth, width) << name;
            EXPECT_LT(std::uint64_t{plan.columns - 1} * plan.tileWidth, width) << name;
            EXPECT_GE(std::uint64_t{plan.rows} * plan.tileHeight, height) << name;
            EXPECT_LT(std::uint64_t{plan.rows - 1} * plan.tileHeight, height) << name;
            if (width <= 131072 && height <= 131072) {
                EXPECT_LE(plan.tileWidth, 512U) << name;
                EXPECT_LE(plan.tileHeight, 512U) << name;
            }
        }
    }
    // Little padding: 1100 wide splits into three tiles of 368, not two of 512 and a sliver.
    const HeifTiling plan = planHeifTiles(1100, 700, 512);
    EXPECT_EQ(plan.columns, 3U);
    EXPECT_EQ(plan.tileWidth, 368U);
    EXPECT_EQ(plan.rows, 2U);
    EXPECT_EQ(plan.tileHeight, 352U);
}

TEST(HeifTileExtraction, RefusesWhatItCannotFollow) {
    const auto refuses = [](const std::string& bytes) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        EXPECT_THROW(image::extractHeifImage({data, bytes.size()}), PlatformError);
    };
    refuses("");
    refuses(std::string(16, '\0'));
    refuses(std::string("\0\0\0\x08"
                        "ftyp",
                        8)); // no meta box
    refuses(std::string("\0\0\0\x10"
                        "ftypheic\0\0\0\0\0\0\0\x40"
                        "meta",
                        20)); // box past the end
}

TEST_F(HeifGridTest, EveryTileLandsInPlaceAndThePaddingIsCropped) {
    const fs::path png = blockPicture(dir.path(), 1100, 700, false);
    for (const F target : {F::heic, F::avif}) {
        const std::string name(rawValue(target));
        const fs::path out = ImageConverter::convert(imageRequest(png, F::png, target, dir / name));
        const std::string bytes = readFile(out);
        ASSERT_NE(bytes.find("grid"), std::string::npos) << name << " was not written as a grid";
        EXPECT_EQ(identifySize(out), "1100x700") << name;
        EXPECT_EQ(Validator::validate(out, target), ValidationStatus::passed()) << name;

        const Decoded decoded = decodeWithLibheif(out);
        ASSERT_EQ(decoded.width, 1100) << name;
        ASSERT_EQ(decoded.height, 700) << name;
        int worst = 0;
        for (int by = 0; by < 700 / kBlock; ++by)
            for (int bx = 0; bx < 1100 / kBlock; ++bx) {
                const auto want = blockColour(bx, by, false);
                const auto got = decoded.at(bx * kBlock + kBlock / 2, by * kBlock + kBlock / 2);
                for (std::size_t c = 0; c < 3; ++c)
                    worst = std::max(worst, std::abs(got[c] - want[c]));
            }
        EXPECT_LE(worst, 12) << name;
        // The last pixel, at the edge of the cropped tile padding.
        const auto corner = decoded.at(1099, 699);
        const auto want = blockColour(21, 13, false);
        for (std::size_t c = 0; c < 3; ++c)
            EXPECT_NEAR(corner[c], want[c], 16) << name;
    }
}

TEST_F(HeifGridTest, AlphaTravelsAsAGridOfItsOwn) {
    const fs::path png = blockPicture(dir.path(), 900, 600, true);
    for (const F target : {F::heic, F::avif}) {
        const std::string name(rawValue(target));
        const fs::path out = ImageConverter::convert(imageRequest(png, F::png, target, dir / name));
        ASSERT_NE(readFile(out).find("grid"), std::string::npos)
            << name << " was not written as a grid";
        EXPECT_EQ(Validator::validate(out, target), ValidationStatus::passed()) << name;
        const Decoded decoded = decodeWithLibheif(out);
        ASSERT_EQ(decoded.width, 900) << name;
        ASSERT_EQ(decoded.height, 600) << name;
        int worstAlpha = 0;
        int worstColour = 0;
        for (int by = 0; by < 600 / kBlock; ++by)
            for (int bx = 0; bx < 900 / kBlock; ++bx) {
                const auto want = blockColour(bx, by, true);
                const auto got = decoded.at(bx * kBlock + kBlock / 2, by * kBlock + kBlock / 2);
                worstAlpha = std::max(worstAlpha, std::abs(got[3] - want[3]));
                if (want[3] == 255)
                    for (std::size_t c = 0; c < 3; ++c)
                        worstColour = std::max(worstColour, std::abs(got[c] - want[c]));
            }
        EXPECT_LE(worstAlpha, 12) << name;
        EXPECT_LE(worstColour, 12) << name;
        EXPECT_EQ(identifySize(out), "900x600") << name;
    }
}

TEST_F(HeifGridTest, MetadataAndProfileStayWithTheGrid) {
    // A turned Display P3 photo with camera, location and XMP fields, larger than one tile.
    tool({"convert", "-size", "900x600", "plasma:", "-depth", "8", (dir / "base.png").string()});
    tool({"convert", (dir / "base.png").string(), "-fill", "red", "-draw", "rectangle 0,0 99,99",
          (dir / "marked.png").string()});
    tool({"vips", "icc_transform", (dir / "marked.png").string(),
          (dir / "p3.jpg").string() + "[Q=95]", "p3"});
    tool({"exiftool", "-q", "-overwrite_original", "-Make=Kelvane", "-Orientation#=6",
          "-GPSLatitude=48.85", "-GPSLatitudeRef=N", "-XMP-dc:Title=secret place",
          (dir / "p3.jpg").string()});
    for (const F target : {F::heic, F::avif}) {
        const std::string name(rawValue(target));
        const fs::path out =
            ImageConverter::convert(imageRequest(dir / "p3.jpg", F::jpg, target, dir / name));
        // Turned into its upright shape, the EXIF copy saying so; the red corner is now top right.
        EXPECT_EQ(identifySize(out), "600x900") << name;
        EXPECT_EQ(exifTag(out, "Orientation"), "1") << name;
        EXPECT_EQ(exifTag(out, "Make"), "Kelvane") << name;
        EXPECT_EQ(exifTag(out, "GPSLatitude"), "48.85") << name;
        EXPECT_EQ(exifTag(out, "Title"), "secret place") << name;
        EXPECT_EQ(exifTag(out, "ProfileDescription"), exifTag(dir / "p3.jpg", "ProfileDescription"))
            << name;
        EXPECT_NE(exifTag(out, "ProfileDescription"), "") << name;
        EXPECT_EQ(exifTag(out, "Warning"), "") << name;
        const Decoded decoded = decodeWithLibheif(out);
        ASSERT_EQ(decoded.width, 600) << name;
        const auto corner = decoded.at(560, 40);
        EXPECT_GT(corner[0], 150) << name;
        EXPECT_LT(corner[1], 90) << name;

        auto strip = imageRequest(dir / "p3.jpg", F::jpg, target, dir / ("strip-" + name));
        strip.stripMetadata = true;
        const fs::path stripped = ImageConverter::convert(strip);
        EXPECT_EQ(exifTag(stripped, "Make"), "Kelvane") << name;
        EXPECT_EQ(exifTag(stripped, "GPSLatitude"), "") << name;
        EXPECT_EQ(readFile(stripped).find("secret place"), std::string::npos) << name;
    }
}

// The streaming encoders give up once asked to stop, instead of finishing a long encode first.
TEST_F(HeifGridTest, StreamingEncodersStopWhenAsked) {
    const fs::path png = blockPicture(dir.path(), 1100, 700, false);
    const auto source = image::ImageSource::open(png);
    std::stop_source stopped;
    stopped.request_stop();
    for (const auto type : {image::ImageType::png, image::ImageType::tiff, image::ImageType::heic,
                            image::ImageType::avif, image::ImageType::gif}) {
        const fs::path out = dir / ("stopped." + std::to_string(static_cast<int>(type)));
        // Decoded afresh each time: a streamed decode reads its source once.
        EXPECT_THROW(
            image::encodeImage(source.decode(), out, {.type = type, .stop = stopped.get_token()}),
            PlatformError)
            << static_cast<int>(type);
        EXPECT_NO_THROW(image::encodeImage(source.decode(), out, {.type = type}))
            << static_cast<int>(type);
    }
}

} // namespace
} // namespace kv::test
