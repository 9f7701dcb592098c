// GIF to H.264 video: each frame keeps its own delay, sides become even, broken frames are skipped.
#include "av/video_audio_converter.h"
#include "engine/conversion_error.h"
#include "media_fixtures.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

using F = SupportedFormat;

// Sets the LZW code size of the `frame`-th image (1-based) to an impossible value, so that frame
// alone cannot be decoded while the file's block structure stays intact.
std::string breakFrame(std::string gif, int frame) {
    std::size_t pos = 13;
    const auto flags = static_cast<unsigned char>(gif[10]);
    if (flags & 0x80)
        pos += 3u * (2u << (flags & 7));
    int image = 0;
    const auto skipSubBlocks = [&](std::size_t at) {
        while (at < gif.size() && gif[at] != 0)
            at += static_cast<unsigned char>(gif[at]) + 1u;
        return at + 1;
    };
    while (pos < gif.size()) {
        const auto block = static_cast<unsigned char>(gif[pos]);
        if (block == 0x21) {
            pos = skipSubBlocks(pos + 2);
        } else if (block == 0x2C) {
            const auto local = static_cast<unsigned char>(gif[pos + 9]);
            std::size_t data = pos + 10;
            if (local & 0x80)
                data += 3u * (2u << (local & 7));
            if (++image == frame)
                gif[data] = 0x0F;
            pos = skipSubBlocks(data + 1);
        } else {
            break;
        }
    }
    return gif;
}

class GifFixtures : public ::testing::Test {
  protected:
    void SetUp() override {
        KV_REQUIRE_FFMPEG();
        if (!haveTool("convert"))
            GTEST_SKIP() << "ImageMagick makes GIFs with chosen delays";
    }
    // Frames of `size` with the given delays in centiseconds.
    std::filesystem::path makeGif(const std::string& name, const std::string& size,
                                  const std::vector<int>& delays) {
        std::vector<std::string> argv{"convert", "-size", size};
        const char* colours[] = {"red", "green", "blue", "yellow", "white", "black"};
        for (std::size_t i = 0; i < delays.size(); ++i) {
            argv.insert(argv.end(),
                        {"-delay", std::to_string(delays[i]), std::string("xc:") + colours[i % 6]});
        }
        const auto path = m_dir / name;
        argv.insert(argv.end(), {"-loop", "0", path.string()});
        EXPECT_EQ(runProgram(argv).exitCode, 0);
        return path;
    }
    TempDir m_dir;
};

TEST_F(GifFixtures, EachFrameKeepsItsDelayAndSidesBecomeEven) {
    // 0.1 s, 0.02 s, 0.5 s, no delay stated (0.1 s), 0.01 s.
    const auto gif = makeGif("mixed.gif", "301x201", {10, 2, 50, 0, 1});
    const struct {
        F target;
        const char* brand;
    } targets[] = {{F::mp4, "isom"}, {F::mov, "qt  "}, {F::m4v, "M4V "}};
    for (const auto& target : targets) {
        TempDir out;
        const RunResult result = runKelvane(
            {"--convert", gif.string(), std::string(rawValue(target.target)), out.path().string()});
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        const auto output = out / ("mixed." + std::string(fileExtension(target.target)));
        SCOPED_TRACE(output.filename().string());
        const Probe info = probe(output);
        EXPECT_EQ(formatField(info, "tags.major_brand"), target.brand);
        EXPECT_EQ(field(info, 0, "codec_name"), "h264");
        EXPECT_EQ(field(info, 0, "width"), "300");
        EXPECT_EQ(field(info, 0, "height"), "200");
        const auto times = videoPacketTimes(output);
        const std::vector<double> expected{0.0, 0.1, 0.12, 0.62, 0.72};
        ASSERT_EQ(times.size(), expected.size());
        for (std::size_t i = 0; i < times.size(); ++i)
            EXPECT_NEAR(times[i], expected[i], 1.0 / 600);
        EXPECT_NEAR(number(formatField(info, "duration")), 0.73,
                    1.0 / 600); // the last frame lasts 0.01 s
    }
}

TEST_F(GifFixtures, UndecodableFrameIsDroppedAndLaterFramesMoveUp) {
    const auto gif = makeGif("five.gif", "64x48", {10, 20, 30, 40, 50});
    writeFile(m_dir / "broken.gif", breakFrame(readFile(gif), 3));
    TempDir out;
    const auto output = VideoAudioConverter::gifToVideo(
        requestFor(m_dir / "broken.gif", F::gif, F::mp4, out.path()));
    const auto times = videoPacketTimes(output);
    const std::vector<double> expected{0.0, 0.1, 0.3, 0.7};
    ASSERT_EQ(times.size(), expected.size());
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_NEAR(times[i], expected[i], 1.0 / 600);
    EXPECT_NEAR(number(formatField(probe(output), "duration")), 1.2, 1.0 / 600);
}

TEST_F(GifFixtures, UnusableGifsFailWithTheirReasonAndWriteNothing) {
    const auto gif = makeGif("two.gif", "64x48", {10, 10});
    writeFile(m_dir / "first-broken.gif", breakFrame(readFile(gif), 1));
    writeFile(m_dir / "header-only.gif", "GIF89a but nothing else");
    writeFile(m_dir / "not-a.gif", "plain text, no image");
    const struct {
        const char* name;
        ConversionError::Kind kind;
        const char* message;
    } cases[] = {
        {"first-broken.gif", ConversionError::Kind::corruptFile,
         "File appears corrupt: Cannot decode first GIF frame"},
        {"header-only.gif", ConversionError::Kind::corruptFile,
         "File appears corrupt: GIF has no frames"},
        {"not-a.gif", ConversionError::Kind::failedToLoadFile, nullptr},
    };
    for (const auto& c : cases) {
        TempDir out;
        try {
            VideoAudioConverter::gifToVideo(requestFor(m_dir / c.name, F::gif, F::mov, out.path()));
            ADD_FAILURE() << c.name << " converted";
        } catch (const ConversionError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.name << ": " << error.what();
            if (c.message != nullptr) {
                EXPECT_STREQ(error.what(), c.message);
            }
        }
        EXPECT_TRUE(entriesOf(out.path()).empty()) << c.name;
    }
}

} // namespace
} // namespace kv::test
