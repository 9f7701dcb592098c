// Compressing video and audio: encoder parameters as ffprobe reads them, and nothing left on
// failure.
#include "compress/compressor.h"
#include "engine/conversion_error.h"
#include "support/test_support.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace kv {
namespace {

using F = SupportedFormat;

void ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"ffmpeg", "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = test::runProgram(argv);
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

#define KV_REQUIRE_FFMPEG()                                                                        \
    do {                                                                                           \
        if (!test::haveTool("ffmpeg") || !test::haveTool("ffprobe"))                               \
            GTEST_SKIP() << "ffmpeg and ffprobe make and read the fixtures";                       \
    } while (false)

TEST(CompressMedia, SurroundAt96kHzBecomesStereoAt48kHzWithTheCappedBitrate) {
    KV_REQUIRE_FFMPEG();
    test::TempDir dir;
    ffmpeg({"-f", "lavfi", "-i", "anoisesrc=sample_rate=96000:duration=4:amplitude=0.3", "-af",
            "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0", "-metadata", "title=Surround",
            (dir / "s51.flac").string()});
    const auto output = Compressor::compress({.source = dir / "s51.flac",
                                              .format = F::flac,
                                              .level = CompressionLevel::high,
                                              .outputDir = dir / "out"});
    EXPECT_EQ(output.filename(), "s51 (compressed).m4a");
    auto info = test::ffprobeFields(output);
    EXPECT_EQ(info["streams.stream.0.codec_name"], "aac");
    EXPECT_EQ(info["streams.stream.0.channels"], "2");
    EXPECT_EQ(info["streams.stream.0.sample_rate"], "48000");
    EXPECT_NEAR(std::stod(info["streams.stream.0.bit_rate"]), 192000,
                192000 * 0.1); // min(2 × 160000, 192000)
    EXPECT_EQ(info["format.tags.title"], "Surround");

    // Mono at maximum: min(160000, 256000).
    ffmpeg({"-f", "lavfi", "-i", "anoisesrc=sample_rate=44100:duration=4:amplitude=0.3", "-ac", "1",
            (dir / "mono.wav").string()});
    const auto mono = Compressor::compress({.source = dir / "mono.wav",
                                            .format = F::wav,
                                            .level = CompressionLevel::maximum,
                                            .outputDir = dir / "out"});
    info = test::ffprobeFields(mono);
    EXPECT_EQ(info["streams.stream.0.channels"], "1");
    EXPECT_EQ(info["streams.stream.0.sample_rate"], "44100");
    EXPECT_NEAR(std::stod(info["streams.stream.0.bit_rate"]), 160000, 160000 * 0.1);
}

TEST(CompressMedia, OddVideoIsEvenedWithRotationTagsAndBitrateKept) {
    KV_REQUIRE_FFMPEG();
    test::TempDir dir;
    ffmpeg({"-f",   "lavfi",   "-i",        "testsrc2=size=1919x1081:rate=25:duration=1",
            "-f",   "lavfi",   "-i",        "sine=frequency=300:duration=1",
            "-c:v", "libx264", "-preset",   "ultrafast",
            "-crf", "8",       "-pix_fmt",  "yuv444p",
            "-c:a", "aac",     "-shortest", (dir / "plain.mov").string()});
    ffmpeg({"-i", (dir / "plain.mov").string(), "-c", "copy", "-metadata:s:v", "rotate=90",
            "-metadata", "title=Holiday", (dir / "odd.mov").string()});
    auto source = test::ffprobeFields(dir / "odd.mov");
    const double sourceRate = std::stod(source["streams.stream.0.bit_rate"]);
    std::atomic<double> highest{0};
    std::atomic<int> calls{0};
    const auto output = Compressor::compress({.source = dir / "odd.mov",
                                              .format = F::mov,
                                              .level = CompressionLevel::small,
                                              .outputDir = dir / "out",
                                              .progress = [&](double p) {
                                                  ++calls;
                                                  if (p > highest)
                                                      highest = p;
                                              }});
    EXPECT_EQ(output.filename(), "odd (compressed).mov");
    auto info = test::ffprobeFields(output);
    EXPECT_EQ(info["streams.stream.0.codec_name"], "h264");
    EXPECT_EQ(info["streams.stream.0.width"], "1918");
    EXPECT_EQ(info["streams.stream.0.height"], "1080");
    const std::string rotation = "streams.stream.0.side_data_list.side_data.0.rotation";
    ASSERT_NE(source[rotation], "");
    EXPECT_EQ(info[rotation], source[rotation]);
    EXPECT_EQ(info["format.tags.title"], "Holiday");
    EXPECT_EQ(info["streams.stream.1.codec_name"], "aac");
    // A mean rate near 0.30 × the source's (one second of video: x264's rate control is loose).
    EXPECT_LT(std::stod(info["streams.stream.0.bit_rate"]), sourceRate * 0.30 * 1.5);
    EXPECT_GT(calls.load(), 0);
    EXPECT_LE(highest.load(), 0.99);
}

TEST(CompressMedia, AudioKeepsTagsAndCoverArt) {
    KV_REQUIRE_FFMPEG();
    test::TempDir dir;
    ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=64x64:d=1", "-frames:v", "1",
            (dir / "cover.png").string()});
    ffmpeg({"-f",
            "lavfi",
            "-i",
            "sine=frequency=500:duration=3",
            "-i",
            (dir / "cover.png").string(),
            "-map",
            "0",
            "-map",
            "1",
            "-c:a",
            "libmp3lame",
            "-b:a",
            "320k",
            "-c:v",
            "png",
            "-disposition:v",
            "attached_pic",
            "-id3v2_version",
            "3",
            "-metadata",
            "artist=Someone",
            (dir / "song.mp3").string()});
    const auto output = Compressor::compress({.source = dir / "song.mp3",
                                              .format = F::mp3,
                                              .level = CompressionLevel::small,
                                              .outputDir = dir / "out"});
    auto info = test::ffprobeFields(output);
    EXPECT_EQ(info["format.tags.artist"], "Someone");
    EXPECT_EQ(info["streams.stream.0.codec_name"], "aac");
    EXPECT_EQ(info["streams.stream.0.channels"], "1"); // a mono source stays mono
    EXPECT_EQ(info["streams.stream.1.disposition.attached_pic"], "1");
}

TEST(CompressMedia, CancelledTranscodeLeavesNothing) {
    KV_REQUIRE_FFMPEG();
    test::TempDir dir;
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=6", "-c:v", "libx264",
            "-preset", "ultrafast", "-qp", "0", (dir / "long.mp4").string()});
    std::stop_source stop;
    try {
        Compressor::compress({.source = dir / "long.mp4",
                              .format = F::mp4,
                              .level = CompressionLevel::tiny,
                              .outputDir = dir / "out",
                              .progress =
                                  [&](double p) {
                                      if (p > 0.2)
                                          stop.request_stop();
                                  },
                              .stop = stop.get_token()});
        ADD_FAILURE() << "the transcode ran to the end";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::cancelled);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

TEST(CompressMedia, FileWithoutTracksFailsToLoad) {
    test::TempDir dir;
    test::writeFile(dir / "empty.mp3", std::string(4096, '\0'));
    try {
        Compressor::compress({.source = dir / "empty.mp3",
                              .format = F::mp3,
                              .level = CompressionLevel::high,
                              .outputDir = dir / "out"});
        ADD_FAILURE() << "compressed a file with no audio";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::failedToLoadFile);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

} // namespace
} // namespace kv
