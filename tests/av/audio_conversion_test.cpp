// Every audio pair end to end, read back with ffprobe; surround and high-rate sources; bit rates,
// tags and cover art; failures that leave nothing behind.
#include "av/audio_writers.h"
#include "av/video_audio_converter.h"
#include "engine/conversion_error.h"
#include "media_fixtures.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

using F = SupportedFormat;

class AudioFixtures : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!haveTool("ffmpeg"))
            return;
        s_dir = new TempDir();
        const auto at = [](const std::string& name) { return (*s_dir / name).string(); };
        ffmpeg({"-f",
                "lavfi",
                "-i",
                "sine=f=440:d=1.5:r=48000",
                "-f",
                "lavfi",
                "-i",
                "testsrc=s=64x64:d=0.04",
                "-map",
                "0",
                "-map",
                "1",
                "-ac",
                "2",
                "-c:v",
                "mjpeg",
                "-disposition:v",
                "attached_pic",
                "-metadata",
                "title=Song",
                "-metadata",
                "artist=Band",
                "-metadata",
                "album=Record",
                "-c:a",
                "libmp3lame",
                at("s.mp3")});
        const std::vector<std::string> tags{"-metadata",   "title=Song", "-metadata",
                                            "artist=Band", "-metadata",  "album=Record"};
        const auto derive = [&](const std::string& name, std::vector<std::string> codec) {
            std::vector<std::string> args{"-f",  "lavfi", "-i", "sine=f=440:d=1.5:r=48000",
                                          "-ac", "2"};
            args.insert(args.end(), tags.begin(), tags.end());
            args.insert(args.end(), codec.begin(), codec.end());
            args.push_back(at(name));
            ffmpeg(args);
        };
        derive("s.wav", {});
        derive("s.aiff", {});
        derive("s.flac", {});
        derive("s.aac", {"-c:a", "aac"});
        derive("s.m4a", {"-c:a", "aac"});
        derive("s.alac", {"-c:a", "alac", "-f", "ipod"});
        // 5.1 at 96 kHz, 24 bits.
        ffmpeg({"-f", "lavfi", "-i", "sine=f=300:d=1:r=96000", "-af",
                "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0", "-c:a", "flac", "-sample_fmt", "s32",
                at("surround.flac")});
        ffmpeg({"-f", "lavfi", "-i", "anoisesrc=d=2:r=48000:a=0.5", "-ac", "2", at("noise.wav")});
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { KV_REQUIRE_FFMPEG(); }
    static std::filesystem::path fixture(const std::string& name) { return *s_dir / name; }
    static TempDir* s_dir;
};

TempDir* AudioFixtures::s_dir = nullptr;

struct Expected {
    F target;
    const char* codec;
    const char* container;
    const char* brand; // empty: not an MPEG-4 file
    const char* sampleFormat;
};

const Expected kTargets[] = {
    {F::m4a, "aac", "mov,mp4,m4a,3gp,3g2,mj2", "M4A ", "fltp"},
    {F::aac, "aac", "aac", "", "fltp"},
    {F::alac, "alac", "mov,mp4,m4a,3gp,3g2,mj2", "M4A ", "s16p"},
    {F::wav, "pcm_s16le", "wav", "", "s16"},
    {F::aiff, "pcm_s16be", "aiff", "", "s16"},
    {F::flac, "flac", "flac", "", "s16"},
};

TEST_F(AudioFixtures, EveryPairKeepsRateChannelsAndLength) {
    const F sources[] = {F::mp3, F::aac, F::m4a, F::wav, F::aiff, F::alac, F::flac};
    int pairs = 0;
    for (const F source : sources) {
        const auto file = fixture("s." + std::string(rawValue(source)));
        for (const Expected& expected : kTargets) {
            if (expected.target == source)
                continue;
            ++pairs;
            TempDir out;
            const RunResult result =
                runKelvane({"--convert", file.string(), std::string(rawValue(expected.target)),
                            out.path().string()});
            ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
            std::string printed = result.out;
            while (!printed.empty() && printed.back() == '\n')
                printed.pop_back();
            const std::filesystem::path output = printed;
            SCOPED_TRACE(std::string(rawValue(source)) + " → " + output.filename().string());
            EXPECT_EQ(output.extension(), "." + std::string(fileExtension(expected.target)));
            const Probe info = probe(output);
            EXPECT_EQ(formatField(info, "format_name"), expected.container);
            EXPECT_EQ(formatField(info, "tags.major_brand"), expected.brand);
            const int audio = streamOf(info, "audio");
            ASSERT_EQ(audio, 0);
            EXPECT_EQ(field(info, audio, "codec_name"), expected.codec);
            EXPECT_EQ(field(info, audio, "sample_fmt"), expected.sampleFormat);
            EXPECT_EQ(field(info, audio, "sample_rate"), "48000");
            EXPECT_EQ(field(info, audio, "channels"), "2");
            if (expected.target == F::alac || expected.target == F::flac) {
                EXPECT_EQ(field(info, audio, "bits_per_raw_sample"), "16");
            }
            // Encoder priming and AAC frames add up to a few tens of milliseconds.
            // ffprobe only estimates a bare ADTS stream's length from its bit rate.
            EXPECT_NEAR(number(formatField(info, "duration")), 1.5,
                        expected.target == F::aac ? 0.1 : 0.07);
            EXPECT_EQ(entriesOf(out.path()).size(), 1u);
        }
    }
    EXPECT_EQ(pairs, 36);
}

TEST_F(AudioFixtures, SurroundAndHighRateSourcesKeepTheirShape) {
    for (const F target : {F::wav, F::m4a, F::alac, F::flac}) {
        TempDir out;
        const auto output = VideoAudioConverter::convertAudio(
            requestFor(fixture("surround.flac"), F::flac, target, out.path()));
        SCOPED_TRACE(rawValue(target));
        const Probe info = probe(output);
        EXPECT_EQ(field(info, 0, "sample_rate"), "96000");
        EXPECT_EQ(field(info, 0, "channels"), "6");
        if (target != F::m4a) {
            EXPECT_EQ(field(info, 0, "sample_fmt").substr(0, 3), "s16");
        }
        EXPECT_NEAR(number(formatField(info, "duration")), 1.0, 0.05);
    }
}

TEST_F(AudioFixtures, AacBitRateIs256kUnlessTheJobSaysOtherwise) {
    TempDir out;
    ConvertRequest request = requestFor(fixture("noise.wav"), F::wav, F::m4a, out.path());
    const auto standard = VideoAudioConverter::convertAudio(request);
    request.audioBitrate = 96000;
    const auto chosen = VideoAudioConverter::convertAudio(request);
    EXPECT_NEAR(number(field(probe(standard), 0, "bit_rate")), 256000, 256000 * 0.15);
    EXPECT_NEAR(number(field(probe(chosen), 0, "bit_rate")), 96000, 96000 * 0.15);
}

TEST_F(AudioFixtures, TagsAndCoverArtGoWhereTheContainerCarriesThem) {
    for (const F target : {F::m4a, F::alac, F::flac, F::wav}) {
        TempDir out;
        const auto output = VideoAudioConverter::convertAudio(
            requestFor(fixture("s.mp3"), F::mp3, target, out.path()));
        SCOPED_TRACE(rawValue(target));
        const Probe info = probe(output);
        EXPECT_EQ(formatField(info, "tags.title"), "Song");
        EXPECT_EQ(formatField(info, "tags.artist"), "Band");
        if (target == F::wav)
            continue; // RIFF INFO has no picture
        EXPECT_EQ(formatField(info, "tags.album"), "Record");
        EXPECT_EQ(field(info, 1, "disposition.attached_pic"), "1");
        EXPECT_EQ(field(info, 1, "codec_name"), "mjpeg");
    }
}

TEST_F(AudioFixtures, FailedOrCancelledConversionLeavesNothing) {
    TempDir out;
    writeFile(out / "broken.wav", std::string("RIFF\x10\x00\x00\x00WAVEjunkjunkjunk", 20));
    TempDir target;
    EXPECT_ANY_THROW(VideoAudioConverter::convertAudio(
        requestFor(out / "broken.wav", F::wav, F::flac, target.path())));
    EXPECT_TRUE(entriesOf(target.path()).empty());

    ffmpeg({"-f", "lavfi", "-i", "sine=d=1", "-t", "0", (out / "silence.wav").string()});
    try {
        VideoAudioConverter::convertAudio(
            requestFor(out / "silence.wav", F::wav, F::m4a, target.path()));
        ADD_FAILURE() << "an empty WAV converted";
    } catch (const ConversionError& error) {
        EXPECT_STREQ(error.what(), "File appears corrupt: Audio file has zero frames");
    }
    EXPECT_TRUE(entriesOf(target.path()).empty());

    std::stop_source stop;
    ConvertRequest request = requestFor(fixture("noise.wav"), F::wav, F::flac, target.path());
    request.stop = stop.get_token();
    request.progress = [&](double fraction) {
        if (fraction > 0.2)
            stop.request_stop();
    };
    try {
        VideoAudioConverter::convertAudio(request);
        ADD_FAILURE() << "not cancelled";
    } catch (const ConversionError& error) {
        EXPECT_EQ(error.kind(), ConversionError::Kind::cancelled);
    }
    EXPECT_TRUE(entriesOf(target.path()).empty());
}

// The decoded samples as ffmpeg hashes them (16-bit little-endian interleaved).
std::string pcmDigest(const std::filesystem::path& file) {
    const RunResult result = runProgram(
        {"ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:a:0", "-f", "md5", "-"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

TEST_F(AudioFixtures, LosslessTargetsKeepEverySample) {
    const std::string source = pcmDigest(fixture("noise.wav"));
    ASSERT_FALSE(source.empty());
    for (const F target : {F::flac, F::alac, F::aiff}) {
        TempDir out;
        const auto output = VideoAudioConverter::convertAudio(
            requestFor(fixture("noise.wav"), F::wav, target, out.path()));
        SCOPED_TRACE(rawValue(target));
        EXPECT_EQ(pcmDigest(output),
                  source); // no sample lost, doubled or altered between encoder frames
    }
}

TEST_F(AudioFixtures, RateChangeInsideTheStreamIsResampledNotRefused) {
    TempDir dir;
    // Two MP3 runs at different rates back to back, as a joined recording is.
    ffmpeg({"-f", "lavfi", "-i", "sine=f=440:d=1:r=44100", "-ac", "2", "-write_xing", "0",
            "-id3v2_version", "0", (dir / "a.mp3").string()});
    ffmpeg({"-f", "lavfi", "-i", "sine=f=440:d=1:r=48000", "-ac", "2", "-write_xing", "0",
            "-id3v2_version", "0", (dir / "b.mp3").string()});
    writeFile(dir / "joined.mp3", readFile(dir / "a.mp3") + readFile(dir / "b.mp3"));
    for (const F target : {F::wav, F::m4a}) {
        TempDir out;
        const auto output = VideoAudioConverter::convertAudio(
            requestFor(dir / "joined.mp3", F::mp3, target, out.path()));
        SCOPED_TRACE(rawValue(target));
        const Probe info = probe(output);
        const std::string rate = field(info, 0, "sample_rate");
        EXPECT_TRUE(rate == "44100" || rate == "48000") << rate; // one rate for the whole file
        EXPECT_NEAR(number(formatField(info, "duration")), 2.0,
                    0.1); // both halves, at their own speed
    }
}

TEST_F(AudioFixtures, AudioConversionLoadsNeitherTheImageStackNorFilters) {
    TempDir out;
    const RunResult result = runProgram({"env", "LD_DEBUG=files", KV_BINARY, "--convert",
                                         fixture("s.wav").string(), "flac", out.path().string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("kelvane-av.so"), std::string::npos);
    EXPECT_EQ(result.err.find("kelvane-media.so"), std::string::npos);
    EXPECT_EQ(result.err.find("libvips"), std::string::npos);
    EXPECT_EQ(result.err.find("libavfilter"), std::string::npos);
}

TEST(AudioWriters, ProbeFindsEveryEncoderThisMachineHas) {
    const auto found = av::probeAudioWriters();
    const std::vector<std::uint32_t> expected{0x666c6163 /* flac */, 0x61616320 /* "aac " */,
                                              0x616c6163 /* alac */, 0x6c70636d /* lpcm */};
    EXPECT_EQ(found, expected);
}

} // namespace
} // namespace kv::test
