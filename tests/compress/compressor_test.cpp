// Compressor: targets, measured and predicted estimates, compressed copies and their names.
#include "compress/compressor.h"
#include "compress/level_cache.h"
#include "engine/conversion_error.h"
#include "formats/format_capabilities.h"
#include "support/test_support.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace kv {
namespace {

using F = SupportedFormat;

void tool(const std::vector<std::string>& argv) {
    const auto r = test::runProgram(argv);
    ASSERT_EQ(r.exitCode, 0) << argv[0] << ": " << r.err;
}

// A photo-like picture: smooth colour fields with fine grain, as a camera gives.
void makePhoto(const std::filesystem::path& file, const std::string& size) {
    tool({"convert", "-size", size, "-seed", "7", "plasma:fractal", "-blur", "0x2", "-attenuate",
          "0.15", "+noise", "Gaussian", file.string()});
}

std::int64_t sizeOf(const std::filesystem::path& file) {
    return static_cast<std::int64_t>(std::filesystem::file_size(file));
}

#define KV_REQUIRE_TOOLS(...)                                                                      \
    do {                                                                                           \
        for (const char* name : {__VA_ARGS__})                                                     \
            if (!test::haveTool(name))                                                             \
                GTEST_SKIP() << name << " makes or reads the fixtures";                            \
    } while (false)

TEST(CompressionTarget, FollowsTheSourceFamily) {
    const bool heic = FormatCapabilities::canProduce(F::heic);
    EXPECT_EQ(Compressor::compressionTarget(F::png), heic ? F::heic : F::jpeg);
    EXPECT_EQ(Compressor::compressionTarget(F::tga), heic ? F::heic : F::jpeg);
    EXPECT_EQ(Compressor::compressionTarget(F::jpg), F::jpeg);
    EXPECT_EQ(Compressor::compressionTarget(F::heif), heic ? F::heic : F::jpeg);
    EXPECT_EQ(Compressor::compressionTarget(F::mov), F::mov);
    EXPECT_EQ(Compressor::compressionTarget(F::avi), F::mp4);
    EXPECT_EQ(Compressor::compressionTarget(F::flac), F::m4a);
    for (const auto none :
         {F::webm, F::gif, F::pdf, F::pdf_image, F::webp, F::zip, F::csv, F::extractAudio})
        EXPECT_FALSE(Compressor::compressionTarget(none)) << rawValue(none);
}

TEST(Compressor, UncompressibleSourcesGiveNoRowsAndAreRefused) {
    test::TempDir dir;
    test::writeFile(dir / "a.webm", "not really a webm");
    test::writeFile(dir / "a.gif", "GIF89a");
    test::writeFile(dir / "a.pdf", "%PDF-1.4");
    for (const auto& [name, format] :
         {std::pair{"a.webm", F::webm}, {"a.gif", F::gif}, {"a.pdf", F::pdf}}) {
        EXPECT_TRUE(Compressor::estimates(dir / name, format).empty()) << name;
        try {
            Compressor::compress(
                {.source = dir / name, .format = format, .outputDir = dir / "out"});
            ADD_FAILURE() << name << " was compressed";
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::unsupportedConversion);
            EXPECT_EQ(std::string(e.what()), "Converting " + std::string(displayName(format)) +
                                                 " \u2192 compressed is not supported.");
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out") && !std::filesystem::is_empty(dir / "out"));
}

TEST(Compressor, PhotoEstimatesAreMeasuredSortedAndReusedByCompress) {
    KV_REQUIRE_TOOLS("convert");
    test::TempDir dir;
    makePhoto(dir / "IMG 1.png", "640x480");
    compress::LevelCache::clear();
    const auto rows = Compressor::estimates(dir / "IMG 1.png", F::png);
    ASSERT_EQ(rows.size(), 5U);
    const auto target = *Compressor::compressionTarget(F::png);
    const auto limit =
        static_cast<std::int64_t>(static_cast<double>(sizeOf(dir / "IMG 1.png")) * 0.98);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].level, allCompressionLevels[i]);
        EXPECT_FALSE(rows[i].isEstimate);
        EXPECT_EQ(rows[i].outputFormat, target);
        EXPECT_EQ(rows[i].originalSize, sizeOf(dir / "IMG 1.png"));
        EXPECT_LT(rows[i].byteSize, limit);
        ASSERT_TRUE(rows[i].qualityLoss);
        if (i > 0) {
            EXPECT_LT(rows[i].byteSize, rows[i - 1].byteSize) << "levels must shrink";
            EXPECT_GE(*rows[i].qualityLoss, *rows[i - 1].qualityLoss - 0.05);
        }
    }
    EXPECT_LT(*rows.back().qualityLoss, 60.0);
    EXPECT_GT(*rows.back().qualityLoss, *rows.front().qualityLoss);

    // Compressing at an estimated level writes exactly the measured size, under the documented
    // name.
    const auto output = Compressor::compress({.source = dir / "IMG 1.png",
                                              .format = F::png,
                                              .level = CompressionLevel::balanced,
                                              .outputDir = dir.path()});
    EXPECT_EQ(output.filename().string(),
              "IMG 1 (compressed)." + std::string(fileExtension(target)));
    EXPECT_EQ(sizeOf(output), rows[2].byteSize);

    // Without the cache the same encoder settings give the same bytes; a second copy gets a free
    // name.
    compress::LevelCache::clear();
    const auto again = Compressor::compress({.source = dir / "IMG 1.png",
                                             .format = F::png,
                                             .level = CompressionLevel::balanced,
                                             .outputDir = dir.path()});
    EXPECT_EQ(again.filename().string(),
              "IMG 1 (compressed) (1)." + std::string(fileExtension(target)));
    EXPECT_EQ(test::readFile(again), test::readFile(output));

    const auto replacing = Compressor::compress({.source = dir / "IMG 1.png",
                                                 .format = F::png,
                                                 .level = CompressionLevel::tiny,
                                                 .outputDir = dir / "sub",
                                                 .replacingOriginal = true});
    EXPECT_EQ(replacing, dir / "sub" / ("IMG 1." + std::string(fileExtension(target))));
}

TEST(Compressor, ChangedFileIsEncodedAgainNotTakenFromTheCache) {
    KV_REQUIRE_TOOLS("convert");
    test::TempDir dir;
    makePhoto(dir / "a.png", "320x240");
    const auto before = Compressor::estimates(dir / "a.png", F::png);
    ASSERT_FALSE(before.empty());
    tool({"convert", "-size", "320x240", "gradient:red-blue", "-attenuate", "0.3", "+noise",
          "Gaussian", (dir / "a.png").string()});
    const auto output = Compressor::compress({.source = dir / "a.png",
                                              .format = F::png,
                                              .level = CompressionLevel::maximum,
                                              .outputDir = dir / "out"});
    EXPECT_NE(test::readFile(output).size(), static_cast<std::size_t>(before[0].byteSize));
}

TEST(Compressor, NotSmallerResultIsDeletedAndRowsUnderTwoPercentAreDropped) {
    KV_REQUIRE_TOOLS("convert");
    test::TempDir dir;
    // A JPEG already squeezed far below every level's quality.
    makePhoto(dir / "tiny.png", "400x300");
    tool({"convert", (dir / "tiny.png").string(), "-quality", "3", (dir / "hard.jpg").string()});
    EXPECT_TRUE(Compressor::estimates(dir / "hard.jpg", F::jpeg).empty());
    try {
        Compressor::compress({.source = dir / "hard.jpg",
                              .format = F::jpeg,
                              .level = CompressionLevel::maximum,
                              .outputDir = dir / "out"});
        ADD_FAILURE() << "a larger file was kept";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile);
        EXPECT_EQ(std::string(e.what()),
                  "File appears corrupt: The re-encoded file was not smaller \u2014 the original "
                  "is already compressed harder than this level.");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

TEST(Compressor, NarrowImageRowsHaveNoQualityMeasure) {
    KV_REQUIRE_TOOLS("convert");
    test::TempDir dir;
    tool({"convert", "-size", "7x100", "gradient:white-black", "-attenuate", "0.5", "+noise",
          "Gaussian", "-compress", "None", (dir / "narrow.tga").string()});
    const auto rows = Compressor::estimates(dir / "narrow.tga", F::tga);
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        EXPECT_FALSE(row.qualityLoss);
        EXPECT_FALSE(row.isEstimate);
        EXPECT_EQ(qualityText(row), "\u2014");
    }
}

TEST(Compressor, AudioAndVideoRowsArePredictedFromDurationAndDataRate) {
    KV_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    test::TempDir dir;
    tool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
          "sine=frequency=440:sample_rate=44100:duration=3", "-ac", "2",
          (dir / "tone.wav").string()});
    const double seconds = std::stod(test::ffprobeFields(dir / "tone.wav")["format.duration"]);
    const auto audio = Compressor::estimates(dir / "tone.wav", F::wav);
    ASSERT_EQ(audio.size(), 5U); // 1411 kbit/s PCM: every level is far smaller
    for (const auto& row : audio) {
        EXPECT_TRUE(row.isEstimate);
        EXPECT_FALSE(row.qualityLoss);
        EXPECT_EQ(row.outputFormat, F::m4a);
        EXPECT_EQ(qualityText(row), "estimated");
        EXPECT_NEAR(static_cast<double>(row.byteSize),
                    seconds * static_cast<double>(audioBitrate(row.level)) / 8, 2.0);
    }

    tool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2",
          "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", (dir / "clip.mp4").string()});
    auto info = test::ffprobeFields(dir / "clip.mp4");
    const double duration = std::stod(info["format.duration"]);
    const double rate = std::stod(info["streams.stream.0.bit_rate"]);
    const auto video = Compressor::estimates(dir / "clip.mp4", F::mp4);
    ASSERT_FALSE(video.empty());
    for (const auto& row : video) {
        EXPECT_TRUE(row.isEstimate);
        EXPECT_EQ(row.outputFormat, F::mp4);
        EXPECT_NEAR(static_cast<double>(row.byteSize),
                    duration * rate * videoBitrateFactor(row.level) / 8, 2.0);
    }
}

// A low-rate clip: the video's share falls under the encoder's floor and the sound is much of the
// file, so a prediction from the video rate alone promised savings the compress never made.
TEST(Compressor, LowRateVideoPredictionsCountTheFloorAndTheSound) {
    KV_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    test::TempDir dir;
    const auto clip = dir / "low.mp4";
    tool({"ffmpeg",
          "-v",
          "error",
          "-f",
          "lavfi",
          "-i",
          "testsrc2=size=320x240:rate=25:duration=8",
          "-f",
          "lavfi",
          "-i",
          "sine=frequency=330:sample_rate=44100:duration=8",
          "-ac",
          "2",
          "-c:v",
          "libx264",
          "-preset",
          "veryfast",
          "-b:v",
          "400k",
          "-c:a",
          "aac",
          "-b:a",
          "256k",
          "-shortest",
          clip.string()});
    auto info = test::ffprobeFields(clip);
    const double duration = std::stod(info["format.duration"]);
    const double videoRate = std::stod(info["streams.stream.0.bit_rate"]);
    ASSERT_EQ(info["streams.stream.1.channels"], "2");
    const auto original = sizeOf(clip);

    const auto rows = Compressor::estimates(clip, F::mp4);
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        const double video = std::max(videoRate * videoBitrateFactor(row.level), 200000.0);
        const double audio = std::min(320000.0, static_cast<double>(audioBitrate(row.level)));
        EXPECT_NEAR(static_cast<double>(row.byteSize), duration * (video + audio) / 8, 2.0)
            << rawValue(row.level);
        EXPECT_TRUE(row.isEstimate);
    }
    const auto tiny = std::find_if(rows.begin(), rows.end(), [](const CompressionEstimate& row) {
        return row.level == CompressionLevel::tiny;
    });
    ASSERT_NE(tiny, rows.end());
    EXPECT_LT(tiny->savedPercent(), 70); // the video rate alone said ~88 %

    // The compressed file lands near the prediction.
    const auto output = Compressor::compress({.source = clip,
                                              .format = F::mp4,
                                              .level = CompressionLevel::tiny,
                                              .outputDir = dir / "out"});
    const double real = static_cast<double>(sizeOf(output));
    EXPECT_NEAR(real / static_cast<double>(tiny->byteSize), 1.0, 0.25)
        << real << " bytes written, " << tiny->byteSize << " predicted, " << original
        << " in the source";

    // Mono sound is predicted at its own cap, as the transcode encodes it.
    tool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
          "sine=frequency=440:sample_rate=44100:duration=3", "-ac", "1",
          (dir / "mono.wav").string()});
    const double seconds = std::stod(test::ffprobeFields(dir / "mono.wav")["format.duration"]);
    for (const auto& row : Compressor::estimates(dir / "mono.wav", F::wav))
        EXPECT_NEAR(static_cast<double>(row.byteSize),
                    seconds * std::min(160000.0, static_cast<double>(audioBitrate(row.level))) / 8,
                    2.0)
            << rawValue(row.level);
}

} // namespace
} // namespace kv

namespace kv {
namespace {

TEST(Compressor, StoppedEstimateOffersNothingAndStoppedCompressWritesNothing) {
    if (!test::haveTool("convert"))
        GTEST_SKIP() << "convert makes the fixture";
    test::TempDir dir;
    const auto made = test::runProgram(
        {"convert", "-size", "300x200", "plasma:fractal", (dir / "a.png").string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::stop_source stop;
    stop.request_stop();
    EXPECT_TRUE(
        Compressor::estimates(dir / "a.png", SupportedFormat::png, stop.get_token()).empty());
    try {
        Compressor::compress({.source = dir / "a.png",
                              .format = SupportedFormat::png,
                              .level = CompressionLevel::tiny,
                              .outputDir = dir / "out",
                              .stop = stop.get_token()});
        ADD_FAILURE() << "a stopped compression wrote its file";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::cancelled);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

} // namespace
} // namespace kv

namespace kv {
namespace {

TEST(Compressor, TurnedPhotoIsWrittenUpright) {
    if (!test::haveTool("convert") || !test::haveTool("exiftool") || !test::haveTool("identify"))
        GTEST_SKIP() << "convert, exiftool and identify make and read the fixture";
    test::TempDir dir;
    // Stored 400 × 200, shown 200 × 400: EXIF orientation 6 turns it a quarter clockwise.
    ASSERT_EQ(test::runProgram({"convert", "-size", "400x200", "plasma:fractal", "-quality", "98",
                                (dir / "turned.jpg").string()})
                  .exitCode,
              0);
    ASSERT_EQ(test::runProgram({"exiftool", "-q", "-overwrite_original", "-Orientation#=6",
                                (dir / "turned.jpg").string()})
                  .exitCode,
              0);
    const auto output = Compressor::compress({.source = dir / "turned.jpg",
                                              .format = SupportedFormat::jpeg,
                                              .level = CompressionLevel::small,
                                              .outputDir = dir / "out"});
    const auto shown =
        test::runProgram({"identify", "-format", "%wx%h %[orientation]", output.string()});
    EXPECT_TRUE(shown.out == "200x400 TopLeft" || shown.out == "200x400 Undefined") << shown.out;
}

} // namespace
} // namespace kv
