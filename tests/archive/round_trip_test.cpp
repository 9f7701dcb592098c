// Every archive pair, end to end through the engine, compared file by file.
#include "archive/archive_converter.h"
#include "archive/archive_tree.h"
#include "archive_fixtures.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using F = SupportedFormat;

constexpr F kArchiveFormats[] = {F::zip, F::tar, F::gzip, F::xz, F::bz2};

// A staged file is read into a buffer of exactly its size: finding its end must not grow the
// buffer, which would double it and copy the file once more (2 GB peak for a 1 GB payload).
TEST(ArchiveTree, FileOfItsDeclaredSizeIsHeldOnce) {
    TempDir dir;
    const std::string content(3 * 65536 + 17, 'z');
    writeFile(dir / "f.bin", content);
    ArchiveConverter::Bytes out;
    EXPECT_EQ(ArchiveConverter::appendFileContents(out, dir / "f.bin"), content.size());
    EXPECT_EQ(out.size(), content.size());
    EXPECT_EQ(out.capacity(), content.size());
    EXPECT_EQ(std::string(out.begin(), out.end()), content);
}

TEST(ArchiveRoundTrip, EveryPairKeepsEveryFile) {
    TempDir dir;
    const auto expected = makeSampleTree(dir / "tree");
    for (const F source : kArchiveFormats) {
        const fs::path sourceFile = dir / ("sample." + std::string(fileExtension(source)));
        ArchiveConverter::createArchive(dir / "tree", source, sourceFile);
        for (const F target : kArchiveFormats) {
            if (target == source)
                continue;
            SCOPED_TRACE(std::string(fileExtension(source)) + " -> " +
                         std::string(fileExtension(target)));
            std::optional<ConversionJob> job = FileDetector::createJob(sourceFile);
            ASSERT_TRUE(job);
            ASSERT_EQ(job->detectedFormat, source);
            job->targetFormat = target;
            const fs::path out = dir / ("out-" + std::string(fileExtension(source)));
            const fs::path output = ConversionEngine::convert(*job, out);
            EXPECT_EQ(output.filename().string(), "sample." + std::string(fileExtension(target)));

            const fs::path check = dir / ("check-" + std::string(fileExtension(source)) + "-" +
                                          std::string(fileExtension(target)));
            fs::create_directories(check);
            ArchiveConverter::extractArchive(output, target, check);
            EXPECT_EQ(snapshot(check), expected);
        }
    }
}

TEST(ArchiveRoundTrip, CommandLineConvertsZipToTar) {
    TempDir dir;
    const auto expected = makeSampleTree(dir / "tree");
    ArchiveConverter::createArchive(dir / "tree", F::zip, dir / "in.zip");
    const RunResult run =
        runKelvane({"--convert", (dir / "in.zip").string(), "tar", (dir / "out").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Archive: ZIP"), std::string::npos) << run.err;
    fs::create_directories(dir / "check");
    ArchiveConverter::extractArchive(dir / "out" / "in.tar", F::tar, dir / "check");
    EXPECT_EQ(snapshot(dir / "check"), expected);
}

} // namespace
} // namespace kv::test
