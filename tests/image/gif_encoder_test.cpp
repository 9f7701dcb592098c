// Our GIF writer, read back by ImageMagick: exact colours where the palette can hold them, alpha
// cut at one half, and the same quality as vips' own GIF saver on a photo.
#include "image/image_converter.h"
#include "image_fixtures.h"
#include "validate/validator.h"

#include <gtest/gtest.h>
#include <string>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using F = SupportedFormat;

class GifEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"convert", "identify", "vips"})
            if (!haveTool(name))
                GTEST_SKIP() << name << " makes or reads the fixtures";
    }
    TempDir dir;
};

TEST_F(GifEncoderTest, FewColoursStayExactAndAlphaIsCutAtOneHalf) {
    // Eight flat colours in columns, then a transparent band, a faint (30%) band and a strong (70%)
    // one.
    std::vector<std::string> draw = {"convert", "-size", "320x200", "xc:none"};
    const std::array<std::array<int, 3>, 8> colours{{{255, 0, 0},
                                                     {0, 255, 0},
                                                     {0, 0, 255},
                                                     {255, 255, 0},
                                                     {0, 255, 255},
                                                     {255, 0, 255},
                                                     {20, 40, 60},
                                                     {250, 250, 250}}};
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const auto& c = colours[i];
        draw.insert(draw.end(), {"-fill",
                                 "rgb(" + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," +
                                     std::to_string(c[2]) + ")",
                                 "-draw",
                                 "rectangle " + std::to_string(i * 40) + ",0 " +
                                     std::to_string(i * 40 + 39) + ",99"});
    }
    draw.insert(draw.end(), {"-fill", "rgba(200,0,0,0.3)", "-draw", "rectangle 0,140 319,169",
                             "-fill", "rgba(0,120,0,0.7)", "-draw", "rectangle 0,170 319,199",
                             (dir / "few.png").string()});
    tool(draw);
    const fs::path out =
        ImageConverter::convert(imageRequest(dir / "few.png", F::png, F::gif, dir / "out"));
    EXPECT_EQ(identifySize(out), "320x200");
    EXPECT_EQ(Validator::validate(out, F::gif), ValidationStatus::passed());
    for (std::size_t i = 0; i < colours.size(); ++i)
        EXPECT_LE(colourDistance(pixelAt(out, static_cast<int>(i * 40 + 20), 50), colours[i]), 2)
            << i;
    // pixelAt flattens over white: the clear and the faint bands read white, the strong one green.
    EXPECT_LE(colourDistance(pixelAt(out, 100, 120), {255, 255, 255}), 2);
    EXPECT_LE(colourDistance(pixelAt(out, 100, 155), {255, 255, 255}), 2);
    EXPECT_LE(colourDistance(pixelAt(out, 100, 185), {0, 120, 0}), 2);
}

TEST_F(GifEncoderTest, PhotoQualityMatchesVipsOwnSaver) {
    tool({"convert", "-size", "600x400", "-seed", "3", "plasma:", "-blur", "0x1",
          (dir / "photo.png").string()});
    const fs::path out =
        ImageConverter::convert(imageRequest(dir / "photo.png", F::png, F::gif, dir / "out"));
    tool({"vips", "copy", (dir / "photo.png").string(), (dir / "vips.gif").string()});
    // Mean absolute difference from the source over every pixel, ours against vips'.
    const auto meanError = [&](const fs::path& gif) {
        const auto result =
            runProgram({"convert", (dir / "photo.png").string(), gif.string() + "[0]", "-compose",
                        "difference", "-composite", "-format", "%[fx:mean]", "info:"});
        return std::stod("0" + result.out);
    };
    const double ours = meanError(out);
    EXPECT_GT(ours, 0.0);
    EXPECT_LE(ours, meanError(dir / "vips.gif") * 1.1);
    const auto size = fs::file_size(out);
    const auto vipsSize = fs::file_size(dir / "vips.gif");
    EXPECT_LE(size, vipsSize * 11 / 10);
}

} // namespace
} // namespace kv::test
