#include "image/image_codec.h"
#include "selftest/conversion_tester.h"
#include "selftest/media_seeds.h"
#include "selftest/seed_files.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace kv {
namespace {

using F = SupportedFormat;
namespace CT = ConversionTester;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool hasLine(const std::vector<std::string>& all, const std::string& wanted) {
    return std::find(all.begin(), all.end(), wanted) != all.end();
}

// Only the archive and font seeds: their corner of the matrix is closed and takes a second.
CT::Options archivesAndFonts(CT::Engine engine) {
    return {.engine = std::move(engine),
            .makeSeeds =
                [](const std::filesystem::path& dir) {
                    return std::map<F, std::filesystem::path>{
                        {F::zip, SeedFiles::makeSeedZIP(dir)},
                        {F::ttf, SeedFiles::copyFirstSystemFont({}, "ttf", dir)}};
                },
            .progressTick = {}};
}

std::filesystem::path realConvert(const ConversionJob& job, const std::filesystem::path& dir) {
    return CT::runOne(job.detectedFormat, job.sourceURL, *job.targetFormat, dir.parent_path())
        .outputURL.value();
}

// The runs leave their working folder for inspection; a test removes it.
struct ConversionTesterRun : ::testing::Test {
    ~ConversionTesterRun() override {
        std::error_code ignored;
        std::filesystem::remove_all("/tmp/kv-test-" + std::to_string(::getpid()), ignored);
    }
};

} // namespace

TEST_F(ConversionTesterRun, ForcedEngineFailureIsCountedAndListed) {
    const auto summary = CT::runAll(archivesAndFonts([](const ConversionJob& job, const auto& dir) {
        if (job.detectedFormat == F::zip && job.targetFormat == F::xz)
            throw std::runtime_error("forced failure");
        return realConvert(job, dir);
    }));
    // Every source reached from csv and srt ran each of its targets once.
    std::size_t expected = 0;
    std::set<F> sources;
    for (const auto& r : summary.results)
        sources.insert(r.source);
    for (const auto source : sources)
        expected += possibleConversions(source).size();
    ASSERT_EQ(summary.results.size(), expected);
    // xz is still reached, from tar; the fonts run in their own category.
    EXPECT_EQ(sources,
              (std::set<F>{F::zip, F::tar, F::gzip, F::xz, F::bz2, F::ttf, F::woff, F::woff2}));
    EXPECT_EQ(summary.failed(), 1u);
    EXPECT_EQ(summary.passed(), expected - 1);
    EXPECT_EQ(summary.validationPassed(), expected - 1);
    EXPECT_EQ(CT::exitStatus(summary), 1);

    const auto report = lines(summary.consoleReport());
    ASSERT_GE(report.size(), 8u);
    EXPECT_EQ(report[0], "");
    EXPECT_EQ(report[1], "=== Kelvane \u2014 conversion test summary ===");
    EXPECT_EQ(report[2], "Total conversions:  " + std::to_string(expected));
    EXPECT_EQ(report[3], "Engine passed:      " + std::to_string(expected - 1));
    EXPECT_EQ(report[4], "Engine failed:      1");
    EXPECT_EQ(report[5], "Output verified:    " + std::to_string(expected - 1) + " / " +
                             std::to_string(expected - 1));
    EXPECT_EQ(report[6], "Output bad:         0");
    EXPECT_EQ(report[7], "ARCHIVE  engine pass: 19  fail: 1   validated: 19/19");
    EXPECT_EQ(report[8], "  ZIP         \u2713TAR  \u2713GZIP  \u2717XZ  \u2713BZ2");
    EXPECT_EQ(report[13], "FONT  engine pass: 4  fail: 0   validated: 4/4");
    EXPECT_EQ(report[14], "  TTF         \u2713WOFF  \u2713WOFF2");
    const auto failures = std::find(report.begin(), report.end(), "=== Engine failures ===");
    ASSERT_NE(failures, report.end());
    EXPECT_EQ(failures - report.begin(), 17);
    EXPECT_EQ(*(failures + 1), "  \u2717 ZIP \u2192 XZ: forced failure");
    EXPECT_EQ(*(failures + 2), "=== Output validation failures ===");
    EXPECT_EQ(failures + 3, report.end());
}

TEST_F(ConversionTesterRun, BadOutputIsFlaggedApartFromEngineFailures) {
    const auto summary = CT::runAll(archivesAndFonts([](const ConversionJob& job, const auto& dir) {
        if (job.detectedFormat == F::zip && job.targetFormat == F::gzip) {
            const auto bad = dir / "broken.gz";
            test::writeFile(bad, "not compressed");
            return bad;
        }
        return realConvert(job, dir);
    }));
    const auto bad = summary.validationFailed();
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].validation, ValidationStatus::failed("GZIP magic: got [6E 6F], want [1F 8B]"));
    EXPECT_EQ(CT::exitStatus(summary), 1);
    const auto report = lines(summary.consoleReport());
    EXPECT_EQ(report.back(), "  \u26A0 ZIP \u2192 GZIP: GZIP magic: got [6E 6F], want [1F 8B]");
    EXPECT_TRUE(hasLine(report, "Output bad:         1"));
    EXPECT_TRUE(hasLine(report, "  ZIP         \u2713TAR  \u26A0GZIP  \u2713XZ  \u2713BZ2"));
}

TEST_F(ConversionTesterRun, SeedFailureStopsTheRun) {
    const auto summary = CT::runAll(
        {.engine = {},
         .makeSeeds = [](const std::filesystem::path&) -> std::map<F, std::filesystem::path> {
             throw std::runtime_error("no fonts installed");
         },
         .progressTick = {}});
    ASSERT_EQ(summary.results.size(), 1u);
    EXPECT_FALSE(summary.results[0].success);
    EXPECT_EQ(summary.results[0].error, "Seed generation failed: no fonts installed");
    EXPECT_EQ(CT::exitStatus(summary), 1);
}

TEST(ConversionTester, EverySeedIsAValidFileOfItsFormat) {
    test::TempDir dir;
    const auto seeds = SeedFiles::makeAllSeeds(dir.path());
    EXPECT_EQ(seeds.size(), 18u);
    for (const auto& [format, file] : seeds) {
        EXPECT_NE(file.filename().string().find(SeedFiles::kSeedStem), std::string::npos);
        EXPECT_EQ(Validator::validate(file, format), ValidationStatus::passed())
            << rawValue(format);
    }
    EXPECT_FALSE(image::ImageSource::open(seeds.at(F::png)).properties().hasAlpha);
    // The validator passes raw unchecked: the DNG must develop.
    const auto raw = image::ImageSource::open(seeds.at(F::raw));
    EXPECT_EQ(raw.type(), image::ImageType::raw);
    EXPECT_EQ(raw.decode().width(), 64);
    const auto gif = image::ImageSource::open(seeds.at(F::gif));
    EXPECT_EQ(gif.frameCount(), 4);
    const auto fields = test::ffprobeFields(seeds.at(F::mp4));
    EXPECT_EQ(fields.at("streams.stream.0.codec_name"), "h264");
    EXPECT_EQ(fields.at("streams.stream.1.codec_name"), "aac");
}

TEST(ConversionTester, VideoFixtureWithSoundIsPreferred) {
    test::TempDir dir;
    const auto withSound = dir / "sound.mp4";
    SeedFiles::writeSeedMedia(F::mp4, withSound);
    const auto silentVideo = SeedFiles::makeSeedGIF(dir.path()); // no audio track at all
    EXPECT_TRUE(CT::shouldCache(withSound, F::mp4, std::nullopt));
    EXPECT_TRUE(CT::shouldCache(withSound, F::mp4, silentVideo));
    EXPECT_FALSE(CT::shouldCache(silentVideo, F::mp4, withSound));
    EXPECT_FALSE(CT::shouldCache(withSound, F::webm, withSound));
    // Other formats keep the first fixture.
    EXPECT_FALSE(CT::shouldCache(withSound, F::m4a, silentVideo));
}

} // namespace kv
