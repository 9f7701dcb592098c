// The JPEG check cut at restart markers: every layout that decodes passes, and damage in any band,
// a lost marker or a cut-off file fails.
#include "engine/convert_request.h"
#include "image/image_converter.h"
#include "image/jpeg_check.h"
#include "image_fixtures.h"
#include "platform/platform_error.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using image::verifyJpegFile;

// Offsets of the restart markers in a JPEG's bytes.
std::vector<std::size_t> restartMarkers(const std::string& jpeg) {
    std::vector<std::size_t> found;
    const std::size_t scan = jpeg.find("\xFF\xDA");
    for (std::size_t i = scan; i + 1 < jpeg.size(); ++i) {
        const auto next = static_cast<unsigned char>(jpeg[i + 1]);
        if (static_cast<unsigned char>(jpeg[i]) == 0xFF && next >= 0xD0 && next <= 0xD7)
            found.push_back(i);
    }
    return found;
}

bool passes(const fs::path& file) {
    try {
        verifyJpegFile(file);
        return true;
    } catch (const PlatformError&) {
        return false;
    }
}

class JpegCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"convert", "vips"})
            if (!haveTool(name))
                GTEST_SKIP() << name << " makes the fixtures";
        tool({"convert", "-size", "403x1001", "-seed", "7", "plasma:", "-attenuate", "0.3",
              "+noise", "Gaussian", (dir / "base.png").string()});
    }
    TempDir dir;
};

TEST_F(JpegCheckTest, EveryLayoutThatDecodesPasses) {
    // 4:4:4 and 4:2:0 with a marker every row, every 7 MCUs (rows start mid-interval) and every
    // 3 rows; grey; progressive and marker-free files decode in one piece.
    const std::vector<std::string> layouts = {
        "[Q=95,subsample-mode=off,restart-interval=51]",
        "[Q=80,subsample-mode=on,restart-interval=26]",
        "[Q=80,subsample-mode=on,restart-interval=7]",
        "[Q=95,subsample-mode=off,restart-interval=153]",
        "[Q=80,interlace,restart-interval=26]",
        "[Q=80]",
    };
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        const fs::path out = dir / ("layout" + std::to_string(i) + ".jpg");
        tool({"vips", "copy", (dir / "base.png").string(), out.string() + layouts[i]});
        EXPECT_TRUE(passes(out)) << layouts[i];
    }
    tool({"vips", "colourspace", (dir / "base.png").string(),
          (dir / "grey.jpg").string() + "[restart-interval=51]", "b-w"});
    EXPECT_TRUE(passes(dir / "grey.jpg"));
}

TEST_F(JpegCheckTest, OurOutputHasARestartMarkerPerRowAndDamageInAnyBandFails) {
    const fs::path out = ImageConverter::convert(
        imageRequest(dir / "base.png", SupportedFormat::png, SupportedFormat::jpeg, dir / "out"));
    const std::string jpeg = readFile(out);
    const auto markers = restartMarkers(jpeg);
    ASSERT_EQ(markers.size(), (1001 + 7) / 8 - 1U); // quality 0.92: 8-pixel MCU rows
    EXPECT_TRUE(passes(out));

    // A third of one restart interval lost, or as much garbage added, early, in the middle and
    // near the end: each lies in a different band. (libjpeg pads a short interval with zero bits
    // silently when only a few bytes are missing, whether or not the file has restart markers.)
    for (const double where : {0.1, 0.5, 0.95}) {
        const std::size_t at =
            markers[static_cast<std::size_t>(static_cast<double>(markers.size()) * where)] + 10;
        std::string shorter = jpeg;
        shorter.erase(at, 600);
        writeFile(dir / "shorter.jpg", shorter);
        EXPECT_FALSE(passes(dir / "shorter.jpg")) << where;
        std::string longer = jpeg;
        longer.insert(at, std::string(600, '\x55'));
        writeFile(dir / "longer.jpg", longer);
        EXPECT_FALSE(passes(dir / "longer.jpg")) << where;
    }
    // A lost restart marker, a marker out of sequence, a cut-off file.
    std::string lost = jpeg;
    lost.erase(markers[markers.size() / 2], 2);
    writeFile(dir / "lost.jpg", lost);
    EXPECT_FALSE(passes(dir / "lost.jpg"));
    std::string swapped = jpeg;
    swapped[markers[5] + 1] = static_cast<char>(0xD0 + (5 + 3) % 8);
    writeFile(dir / "swapped.jpg", swapped);
    EXPECT_FALSE(passes(dir / "swapped.jpg"));
    writeFile(dir / "cut.jpg", jpeg.substr(0, markers[markers.size() * 3 / 4]));
    EXPECT_FALSE(passes(dir / "cut.jpg"));
    writeFile(dir / "empty.jpg", "");
    EXPECT_FALSE(passes(dir / "empty.jpg"));
}

} // namespace
} // namespace kv::test
