// Video to video, audio extraction and video to GIF, end to end, read back with ffprobe.
#include "av/video_audio_converter.h"
#include "engine/conversion_error.h"
#include "media_fixtures.h"
#include "validate/validator.h"

#include <gtest/gtest.h>
#include <stop_token>

namespace kv::test {
namespace {

using F = SupportedFormat;

class VideoFixtures : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!haveTool("ffmpeg"))
            return;
        s_dir = new TempDir();
        const auto at = [](const char* name) { return (*s_dir / name).string(); };
        ffmpeg({"-f",        "lavfi",
                "-i",        "testsrc=s=320x240:r=25:d=2",
                "-f",        "lavfi",
                "-i",        "sine=f=440:d=2",
                "-c:v",      "libx264",
                "-preset",   "ultrafast",
                "-pix_fmt",  "yuv420p",
                "-c:a",      "aac",
                "-ac",       "2",
                "-metadata", "title=Clip",
                "-metadata", "creation_time=2024-01-02T03:04:05Z",
                "-shortest", at("clip.mp4")});
        ffmpeg({"-i", at("clip.mp4"), "-c", "copy", "-metadata:s:v", "rotate=90", "-metadata",
                "creation_time=2024-01-02T03:04:05Z", at("rotated.mov")});
        ffmpeg({"-i", at("clip.mp4"), "-c", "copy", "-metadata",
                "creation_time=2024-01-02T03:04:05Z", "-f", "ipod", at("clip.m4v")});
        ffmpeg({"-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=2", "-f", "lavfi", "-i", "sine=d=2",
                "-c:v", "mpeg4", "-c:a", "libmp3lame", "-shortest", at("clip.avi")});
        ffmpeg({"-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=2", "-f", "lavfi", "-i", "sine=d=2",
                "-c:v", "libvpx-vp9", "-deadline", "realtime", "-pix_fmt", "yuv420p", "-c:a",
                "libopus", "-shortest", at("clip.webm")});
        ffmpeg({"-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=1", "-c:v", "libx264", "-preset",
                "ultrafast", at("silent.mp4")});
        ffmpeg({"-f", "lavfi", "-i", "testsrc=s=320x240:d=1", "-t", "0", "-c:v", "libx264",
                at("zero.mp4")});
        ffmpeg({"-f", "lavfi", "-i", "testsrc=s=1920x1080:r=20:d=2.35", "-c:v", "libx264",
                "-preset", "ultrafast", at("wide.mp4")});
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { KV_REQUIRE_FFMPEG(); }

    static std::filesystem::path fixture(const std::string& name) { return *s_dir / name; }

    // Converts through the program as a user would; returns the output path it printed.
    static std::filesystem::path convertWithProgram(const std::filesystem::path& source,
                                                    const std::string& target,
                                                    const std::filesystem::path& outDir) {
        const RunResult result =
            runKelvane({"--convert", source.string(), target, outDir.string()});
        EXPECT_EQ(result.exitCode, 0)
            << source << " → " << target << ": " << result.out << result.err;
        std::string printed = result.out;
        while (!printed.empty() && (printed.back() == '\n' || printed.back() == '\r'))
            printed.pop_back();
        return printed;
    }

    static TempDir* s_dir;
};

TempDir* VideoFixtures::s_dir = nullptr;

struct Source {
    const char* name;
    F format;
};
const Source kSources[] = {{"clip.mp4", F::mp4},
                           {"rotated.mov", F::mov},
                           {"clip.m4v", F::m4v},
                           {"clip.avi", F::avi},
                           {"clip.webm", F::webm}};

// webm is never detected from a file name, so it goes to the converter directly.
std::filesystem::path convertSource(const Source& source, const std::filesystem::path& file,
                                    F target, const std::filesystem::path& outDir,
                                    std::filesystem::path (*operation)(const ConvertRequest&)) {
    const auto output = operation(requestFor(file, source.format, target, outDir));
    EXPECT_FALSE(Validator::validate(output, target).isFailed()) << output;
    return output;
}

TEST_F(VideoFixtures, EverySourceBecomesH264WithItsSoundTagsAndRotation) {
    const struct {
        F target;
        const char* brand;
    } targets[] = {{F::mp4, "isom"}, {F::mov, "qt  "}, {F::m4v, "M4V "}};
    for (const Source& source : kSources) {
        for (const auto& target : targets) {
            if (source.format == target.target)
                continue;
            TempDir out;
            const auto file = fixture(source.name);
            const auto output = source.format == F::webm
                                    ? convertSource(source, file, target.target, out.path(),
                                                    &VideoAudioConverter::convertVideo)
                                    : VideoFixtures::convertWithProgram(
                                          file, std::string(rawValue(target.target)), out.path());
            SCOPED_TRACE(std::string(source.name) + " → " + output.filename().string());
            EXPECT_EQ(output.extension(), "." + std::string(fileExtension(target.target)));
            const Probe info = probe(output);
            EXPECT_EQ(formatField(info, "tags.major_brand"), target.brand);
            const int video = streamOf(info, "video");
            const int audio = streamOf(info, "audio");
            ASSERT_GE(video, 0);
            ASSERT_GE(audio, 0);
            EXPECT_EQ(field(info, video, "codec_name"), "h264");
            EXPECT_EQ(field(info, video, "pix_fmt"), "yuv420p");
            EXPECT_EQ(field(info, video, "width"), "320");
            EXPECT_EQ(field(info, video, "height"), "240");
            EXPECT_EQ(field(info, audio, "codec_name"), "aac");
            EXPECT_NEAR(number(formatField(info, "duration")), 2.0,
                        0.08); // one frame plus AAC framing
            const std::string rotation = field(info, video, "side_data_list.side_data.0.rotation");
            if (source.format == F::mov)
                EXPECT_EQ(rotation, "90");
            else
                EXPECT_EQ(rotation, "");
            if (source.format == F::mp4 || source.format == F::mov || source.format == F::m4v) {
                EXPECT_EQ(formatField(info, "tags.title"), "Clip");
                EXPECT_EQ(formatField(info, "tags.creation_time").substr(0, 19),
                          "2024-01-02T03:04:05");
            }
        }
    }
}

TEST_F(VideoFixtures, PicturesTheEncoderCannotTakeAreConvertedAndOthersPassUntouched) {
    TempDir dir;
    // Odd sides in full-range 4:4:4, and full-range 4:2:0 with even sides: both need the scaler.
    ffmpeg({"-f", "lavfi", "-i", "testsrc=s=321x241:r=25:d=1", "-c:v", "libx264", "-preset",
            "ultrafast", "-pix_fmt", "yuvj444p", (dir / "odd.mp4").string()});
    ffmpeg({"-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=1", "-c:v", "libx264", "-preset",
            "ultrafast", "-pix_fmt", "yuvj420p", (dir / "full.mp4").string()});
    const struct {
        const char* name;
        const char* width;
        const char* height;
        const char* frames;
    } cases[] = {{"odd.mp4", "320", "240", "25"},
                 {"full.mp4", "320", "240", "25"},
                 {"clip.mp4", "320", "240", "50"}};
    for (const auto& c : cases) {
        const auto source = std::string(c.name) == "clip.mp4" ? fixture(c.name) : dir / c.name;
        TempDir out;
        const auto output = VideoFixtures::convertWithProgram(source, "mov", out.path());
        SCOPED_TRACE(c.name);
        const Probe info = probe(output);
        EXPECT_EQ(field(info, 0, "pix_fmt"), "yuv420p");
        EXPECT_NE(field(info, 0, "color_range"), "pc"); // limited range, whatever the source had
        EXPECT_EQ(field(info, 0, "width"), c.width);
        EXPECT_EQ(field(info, 0, "height"), c.height);
        EXPECT_EQ(field(info, 0, "nb_frames"), c.frames);
    }
}

TEST_F(VideoFixtures, ExtractAudioWritesM4AFromEverySource) {
    for (const Source& source : kSources) {
        TempDir out;
        const auto file = fixture(source.name);
        const auto output =
            source.format == F::webm
                ? convertSource(source, file, F::extractAudio, out.path(),
                                &VideoAudioConverter::extractAudio)
                : VideoFixtures::convertWithProgram(file, "extractAudio", out.path());
        SCOPED_TRACE(source.name);
        EXPECT_EQ(output.filename(), file.stem().string() + " (audio).m4a");
        const Probe info = probe(output);
        EXPECT_EQ(formatField(info, "tags.major_brand"), "M4A ");
        EXPECT_EQ(streamOf(info, "video"), -1);
        const int audio = streamOf(info, "audio");
        ASSERT_GE(audio, 0);
        EXPECT_EQ(field(info, audio, "codec_name"), "aac");
        EXPECT_EQ(field(info, audio, "sample_rate"), source.format == F::webm ? "48000" : "44100");
        EXPECT_NEAR(number(formatField(info, "duration")), 2.0, 0.08);
    }
}

TEST_F(VideoFixtures, GIFSamplesTheClipAtExactTimesAndLoops) {
    for (const Source& source : kSources) {
        TempDir out;
        const auto file = fixture(source.name);
        const auto output =
            source.format == F::webm
                ? convertSource(source, file, F::gif, out.path(), &VideoAudioConverter::videoToGIF)
                : VideoFixtures::convertWithProgram(file, "gif", out.path());
        SCOPED_TRACE(source.name);
        const Probe info = probe(output);
        EXPECT_EQ(formatField(info, "format_name"), "gif");
        // A rotated clip is drawn upright.
        EXPECT_EQ(field(info, 0, "width"), source.format == F::mov ? "240" : "320");
        EXPECT_EQ(field(info, 0, "height"), source.format == F::mov ? "320" : "240");
        const auto times = videoPacketTimes(output);
        ASSERT_EQ(times.size(), 20u);
        for (std::size_t i = 0; i < times.size(); ++i)
            EXPECT_NEAR(times[i], 0.1 * static_cast<double>(i), 1e-6);
        EXPECT_NEAR(number(formatField(info, "duration")), 2.0, 1e-6);
        const std::string bytes = readFile(output);
        const auto loop = bytes.find("NETSCAPE2.0");
        ASSERT_NE(loop, std::string::npos);
        EXPECT_EQ(bytes.substr(loop + 11, 5),
                  std::string("\x03\x01\x00\x00\x00", 5)); // loop forever
    }
}

TEST_F(VideoFixtures, GIFFrameCountFollowsDurationAndWidthIsCapped) {
    TempDir out;
    const auto output = VideoFixtures::convertWithProgram(fixture("wide.mp4"), "gif", out.path());
    const Probe info = probe(output);
    EXPECT_EQ(field(info, 0, "width"), "480");
    EXPECT_EQ(field(info, 0, "height"), "270");
    EXPECT_EQ(videoPacketTimes(output).size(), 23u); // ⌊2.35 s × 10 fps⌋
}

TEST_F(VideoFixtures, GIFFramesKeepTheirOrderWhenMappedInParallel) {
    TempDir dir;
    // Forty frames, each a shade lighter than the one before: long enough for the colour mapping to
    // be split between threads.
    ffmpeg({"-f", "lavfi", "-i", "color=c=black:s=64x48:r=10:d=4,format=gray,geq=lum='20+N*5'",
            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
            (dir / "ramp.mp4").string()});
    TempDir out;
    const auto output = VideoFixtures::convertWithProgram(dir / "ramp.mp4", "gif", out.path());
    const RunResult decoded = runProgram({"ffmpeg", "-v", "error", "-i", output.string(), "-f",
                                          "rawvideo", "-pix_fmt", "gray", "-"});
    ASSERT_EQ(decoded.exitCode, 0) << decoded.err;
    constexpr std::size_t kFrameBytes = 64 * 48;
    ASSERT_EQ(decoded.out.size(), 40 * kFrameBytes);
    double previous = -1;
    for (std::size_t frame = 0; frame < 40; ++frame) {
        double sum = 0;
        for (std::size_t i = 0; i < kFrameBytes; ++i)
            sum += static_cast<unsigned char>(decoded.out[frame * kFrameBytes + i]);
        const double mean = sum / kFrameBytes;
        EXPECT_GT(mean, previous + 2) << "frame " << frame;
        previous = mean;
    }
}

TEST_F(VideoFixtures, RefusalsHappenBeforeAnythingIsWritten) {
    const struct {
        const char* source;
        const char* target;
        const char* message;
    } cases[] = {
        {"zero.mp4", "mov", "File appears corrupt: Video has zero duration"},
        {"silent.mp4", "extractAudio", "File appears corrupt: Video has no audio track"},
    };
    for (const auto& c : cases) {
        TempDir out;
        const RunResult result =
            runKelvane({"--convert", fixture(c.source).string(), c.target, out.path().string()});
        EXPECT_NE(result.exitCode, 0);
        EXPECT_NE((result.out + result.err).find(c.message), std::string::npos)
            << result.out << result.err;
        EXPECT_TRUE(entriesOf(out.path()).empty()) << c.source;
    }
}

TEST_F(VideoFixtures, PlaylistsPosingAsVideosAreNotFollowed) {
    TempDir dir;
    // Both would make a permissive demuxer read another local file into the output.
    writeFile(dir / "playlist.mp4", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nfile:" +
                                        fixture("clip.mp4").string() + "\n#EXT-X-ENDLIST\n");
    writeFile(dir / "script.mov",
              "ffconcat version 1.0\nfile '" + fixture("clip.mp4").string() + "'\n");
    for (const char* name : {"playlist.mp4", "script.mov"}) {
        TempDir out;
        const RunResult result =
            runKelvane({"--convert", (dir / name).string(), "m4v", out.path().string()});
        EXPECT_NE(result.exitCode, 0) << name;
        EXPECT_TRUE(entriesOf(out.path()).empty()) << name;
    }
}

std::size_t threadCount() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST_F(VideoFixtures, CancelMidwayLeavesNoFileAndNoThread) {
    using Operation = std::filesystem::path (*)(const ConvertRequest&);
    const struct {
        Operation operation;
        F target;
    } operations[] = {{&VideoAudioConverter::convertVideo, F::mov},
                      {&VideoAudioConverter::extractAudio, F::extractAudio},
                      {&VideoAudioConverter::videoToGIF, F::gif}};
    const std::size_t threadsBefore = threadCount();
    for (const auto& op : operations) {
        TempDir out;
        std::stop_source stop;
        double reached = 0;
        ConvertRequest request = requestFor(fixture("clip.mp4"), F::mp4, op.target, out.path());
        request.stop = stop.get_token();
        request.progress = [&](double fraction) {
            reached = fraction;
            if (fraction >= 0.3)
                stop.request_stop();
        };
        try {
            op.operation(request);
            ADD_FAILURE() << "not cancelled: " << rawValue(op.target);
        } catch (const ConversionError& error) {
            EXPECT_EQ(error.kind(), ConversionError::Kind::cancelled) << error.what();
        }
        EXPECT_GE(reached, 0.3);
        EXPECT_LT(reached, 1.0);
        EXPECT_TRUE(entriesOf(out.path()).empty()) << rawValue(op.target);
    }
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST_F(VideoFixtures, CancelDuringTheGIFPalettePassLeavesNoFileAndNoThread) {
    const std::size_t threadsBefore = threadCount();
    TempDir out;
    std::stop_source stop;
    ConvertRequest request = requestFor(fixture("clip.mp4"), F::mp4, F::gif, out.path());
    request.stop = stop.get_token();
    request.progress = [&](double fraction) {
        if (fraction >= 1.0)
            stop.request_stop(); // every frame is in: the mapping threads are next
    };
    try {
        VideoAudioConverter::videoToGIF(request);
        ADD_FAILURE() << "not cancelled";
    } catch (const ConversionError& error) {
        EXPECT_EQ(error.kind(), ConversionError::Kind::cancelled) << error.what();
    }
    EXPECT_TRUE(entriesOf(out.path()).empty());
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST_F(VideoFixtures, ValidatorTellsMediaFromStillsAndEmptyFiles) {
    TempDir dir;
    ffmpeg({"-f", "lavfi", "-i", "testsrc=s=64x48:d=0.04", "-frames:v", "1",
            (dir / "still.png").string()});
    writeFile(dir / "empty.mp4", "");
    EXPECT_EQ(Validator::validateAVAsset(fixture("clip.mp4"), MediaType::video),
              ValidationStatus::passed());
    EXPECT_EQ(Validator::validateAVAsset(fixture("clip.mp4"), MediaType::audio),
              ValidationStatus::passed());
    EXPECT_EQ(Validator::validateAVAsset(fixture("silent.mp4"), MediaType::audio).reason,
              "AVAsset has no soun tracks");
    EXPECT_EQ(Validator::validateAVAsset(fixture("zero.mp4"), MediaType::video).reason,
              "AVAsset duration is 0.0");
    const auto still = Validator::validateAVAsset(dir / "still.png", MediaType::video);
    EXPECT_TRUE(still.isFailed());
    EXPECT_EQ(still.reason.rfind("AVAsset load failed: ", 0), 0u) << still.reason;
    EXPECT_EQ(Validator::validateAVAsset(dir / "empty.mp4", MediaType::video)
                  .reason.rfind("AVAsset load failed: ", 0),
              0u);
}

// Keeps the first `keep` bytes (the container's header) and blanks the rest (the media data).
void blankAfter(const std::filesystem::path& file, std::size_t keep) {
    std::string bytes = readFile(file);
    ASSERT_LT(keep, bytes.size());
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(keep), bytes.end(), '\0');
    writeFile(file, bytes);
}

TEST_F(VideoFixtures, ValidatorRejectsStreamsThatDoNotDecode) {
    TempDir dir;
    // H.264 whose media data is blanked: the MPEG-4 index still opens and states the duration.
    ffmpeg({"-i", fixture("clip.mp4").string(), "-c", "copy", "-an", "-movflags", "+faststart",
            (dir / "blank.mp4").string()});
    const std::string movie = readFile(dir / "blank.mp4");
    const auto media = movie.find("mdat");
    ASSERT_NE(media, std::string::npos);
    blankAfter(dir / "blank.mp4", media + 4);
    EXPECT_EQ(Validator::validateAVAsset(dir / "blank.mp4", MediaType::video).reason,
              "AVAsset load failed: the video track does not decode");

    // FLAC whose frames are blanked: STREAMINFO alone states rate, channels and length.
    ffmpeg({"-f", "lavfi", "-i", "sine=d=1", (dir / "blank.flac").string()});
    const std::string flac = readFile(dir / "blank.flac");
    std::size_t at =
        4; // after "fLaC": metadata blocks, each with a 4-byte header, the last flagged
    for (bool last = false; !last && at + 4 <= flac.size();) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(flac[i]); };
        last = (byte(at) & 0x80) != 0;
        at += 4 + ((static_cast<std::size_t>(byte(at + 1)) << 16) |
                   (static_cast<std::size_t>(byte(at + 2)) << 8) | byte(at + 3));
    }
    EXPECT_EQ(Validator::validateAVAsset(dir / "blank.flac", MediaType::audio),
              ValidationStatus::passed());
    blankAfter(dir / "blank.flac", at);
    EXPECT_EQ(Validator::validateAVAsset(dir / "blank.flac", MediaType::audio).reason,
              "AVAsset load failed: the audio track does not decode");
}

} // namespace
} // namespace kv::test
