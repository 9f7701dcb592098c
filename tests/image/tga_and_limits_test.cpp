// TGA written upright (origin bit and row order agree) and read upright in both orientations;
// target size limits refused before encoding, with the limit in the message.
#include "image/image_converter.h"
#include "image/tga_writer.h"
#include "image_fixtures.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using F = SupportedFormat;
using RGB = std::array<int, 3>;

constexpr int kWidth = 40;
constexpr int kHeight = 30;
constexpr RGB kRed{255, 0, 0};
constexpr RGB kBlue{0, 0, 255};

// Blue with a red 10 × 10 square at the top left: every flip or mirror moves the red.
std::vector<std::uint8_t> asymmetricRgba() {
    std::vector<std::uint8_t> rgba;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const RGB& c = x < 10 && y < 10 ? kRed : kBlue;
            rgba.insert(rgba.end(),
                        {static_cast<std::uint8_t>(c[0]), static_cast<std::uint8_t>(c[1]),
                         static_cast<std::uint8_t>(c[2]), 255});
        }
    return rgba;
}

RGB pixel(const std::vector<std::uint8_t>& pixels, int channels, int x, int y) {
    const std::size_t at =
        (static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)) * channels;
    return {pixels[at], pixels[at + 1], pixels[at + 2]};
}

std::vector<std::uint8_t> decodedByFFmpeg(const fs::path& file);

// Our reading as a user meets it: the TGA converted to PNG, whose rows have one order only.
std::vector<std::uint8_t> decodedByUs(const fs::path& file) {
    const fs::path folder = file.parent_path() / ("read-" + file.stem().string());
    const fs::path png = ImageConverter::convert(imageRequest(file, F::tga, F::png, folder));
    return decodedByFFmpeg(png);
}

std::vector<std::uint8_t> decodedByFFmpeg(const fs::path& file) {
    const auto result = runProgram(
        {"ffmpeg", "-v", "error", "-i", file.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return {result.out.begin(), result.out.end()};
}

void expectUpright(const std::vector<std::uint8_t>& pixels, int channels,
                   const std::string& reader) {
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(kWidth * kHeight * channels)) << reader;
    EXPECT_EQ(pixel(pixels, channels, 0, 0), kRed) << reader;
    EXPECT_EQ(pixel(pixels, channels, 9, 9), kRed) << reader;
    EXPECT_EQ(pixel(pixels, channels, kWidth - 1, 0), kBlue) << reader << ": mirrored";
    EXPECT_EQ(pixel(pixels, channels, 0, kHeight - 1), kBlue) << reader << ": upside down";
}

class TgaAndLimits : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"ffmpeg", "vips"})
            if (!haveTool(name))
                GTEST_SKIP() << name << " makes or reads the fixtures";
    }
    TempDir dir;
};

} // namespace

TEST(TgaWriter, HeaderSaysTopLeftAndRowsRunTopFirst) {
    const std::vector<std::uint8_t> rgba{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}; // 3 × 1
    const auto tga = image::encodeTga(rgba, 3, 1, false);
    ASSERT_EQ(tga.size(), 18u + 9u);
    EXPECT_EQ(tga[2], 2);                 // uncompressed true colour
    EXPECT_EQ(tga[12] | tga[13] << 8, 3); // width
    EXPECT_EQ(tga[14] | tga[15] << 8, 1); // height
    EXPECT_EQ(tga[16], 24);               // bits per pixel
    EXPECT_EQ(tga[17], 0x20);             // top-left origin, no alpha bits
    EXPECT_EQ(std::vector<std::uint8_t>(tga.begin() + 18, tga.end()),
              (std::vector<std::uint8_t>{3, 2, 1, 7, 6, 5, 11, 10, 9})); // BGR
    const auto withAlpha = image::encodeTga(rgba, 1, 3, true);
    EXPECT_EQ(withAlpha[16], 32);
    EXPECT_EQ(withAlpha[17], 0x28);
    EXPECT_THROW(image::encodeTga(std::vector<std::uint8_t>(4), 65536, 1, false),
                 std::invalid_argument);
    EXPECT_THROW(image::encodeTga(rgba, 2, 2, false),
                 std::invalid_argument); // 12 bytes for 4 pixels
}

TEST_F(TgaAndLimits, ConvertedTgaIsUprightForFFmpegAndForOurReader) {
    // The source: a PNG of the asymmetric picture, made through our own TGA writer and ffmpeg.
    const auto rgba = asymmetricRgba();
    writeFile(dir / "made.tga", [&] {
        const auto bytes = image::encodeTga(rgba, kWidth, kHeight, false);
        return std::string(bytes.begin(), bytes.end());
    }());
    tool({"ffmpeg", "-v", "error", "-i", (dir / "made.tga").string(),
          (dir / "picture.png").string()});
    expectUpright(decodedByFFmpeg(dir / "picture.png"), 3, "ffmpeg on the PNG source");

    const fs::path out =
        ImageConverter::convert(imageRequest(dir / "picture.png", F::png, F::tga, dir / "out"));
    EXPECT_EQ(out.filename(), "picture.tga");
    const std::string bytes = readFile(out);
    ASSERT_GT(bytes.size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[17]) & 0x20, 0x20);
    expectUpright(decodedByFFmpeg(out), 3, "ffmpeg");
    expectUpright(decodedByUs(out), 3, "our reader");

    // The other orientation: rows stored bottom first, origin bit clear.
    std::string bottomUp = bytes.substr(0, 18);
    bottomUp[17] = 0;
    const std::size_t row = static_cast<std::size_t>(kWidth) * 3;
    for (int y = kHeight - 1; y >= 0; --y)
        bottomUp += bytes.substr(18 + static_cast<std::size_t>(y) * row, row);
    writeFile(dir / "bottom-up.tga", bottomUp);
    expectUpright(decodedByFFmpeg(dir / "bottom-up.tga"), 3, "ffmpeg, bottom-up file");
    expectUpright(decodedByUs(dir / "bottom-up.tga"), 3, "our reader, bottom-up file");
}

TEST_F(TgaAndLimits, TargetLimitsAreCheckedBeforeEncodingAndNamed) {
    struct Case {
        int width;
        F target;
        std::string message;
    };
    const std::vector<Case> cases{
        {20000, F::webp,
         "WebP images can be at most 16383 pixels wide and high; this one is 20000 \u00d7 1."},
        {70000, F::jpeg,
         "JPEG images can be at most 65535 pixels wide and high; this one is 70000 \u00d7 1."},
        {70000, F::gif,
         "GIF images can be at most 65535 pixels wide and high; this one is 70000 \u00d7 1."},
        {70000, F::tga,
         "TGA images can be at most 65535 pixels wide and high; this one is 70000 \u00d7 1."},
        {30001, F::psd,
         "PSD images can be at most 30000 pixels wide and high; this one is 30001 \u00d7 1."},
    };
    for (const auto& c : cases) {
        const fs::path source = dir / ("wide" + std::to_string(c.width) + ".png");
        if (!fs::exists(source))
            tool({"vips", "black", source.string(), std::to_string(c.width), "1"});
        try {
            ImageConverter::convert(imageRequest(source, F::png, c.target, dir / "out"));
            ADD_FAILURE() << c.message;
        } catch (const ImageConverter::ImageTooLarge& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    // The limit applies to the output: scaled down within it, the same source converts.
    auto request = imageRequest(dir / "wide20000.png", F::png, F::webp, dir / "out");
    request.maxEdge = 16000;
    EXPECT_EQ(ImageConverter::convert(request).filename(), "wide20000.webp");
}

} // namespace kv::test
