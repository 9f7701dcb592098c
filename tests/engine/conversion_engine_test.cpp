#include "engine/conversion_error.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/dispatch/routing.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "engine/source_file.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using F = SupportedFormat;

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ConversionLogger::shared().setEcho(ConversionLogger::Echo::none);
        ConversionLogger::shared().clear();
        test::writeFile(dir / "in.zip", "PK\x03\x04 source bytes");
        job.sourceURL = dir / "in.zip";
        job.fileName = "in.zip";
        job.fileSize = 20;
        job.detectedFormat = F::zip;
        job.targetFormat = F::zip;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& e : ConversionLogger::shared().entries())
            out.push_back(e.message);
        return out;
    }
    test::TempDir dir;
    ConversionJob job;
};

std::filesystem::path writeBadZip(const ConvertRequest& request) {
    return writeOutputFile(OutputNameRegistry::shared().reserve(request.outputDir, "out", "zip"),
                           std::string_view("PK\x05\x06 not a local header"));
}
std::filesystem::path writeGoodZip(const ConvertRequest& request) {
    return writeOutputFile(OutputNameRegistry::shared().reserve(request.outputDir, "out", "zip"),
                           std::string_view("PK\x03\x04 fine"));
}
std::filesystem::path writeEmpty(const ConvertRequest& request) {
    return writeOutputFile(OutputNameRegistry::shared().reserve(request.outputDir, "out", "zip"),
                           std::string_view());
}
std::filesystem::path writeHiddenOnlyFolder(const ConvertRequest& request) {
    const auto folder = request.outputDir / "pages";
    std::filesystem::create_directory(folder);
    test::writeFile(folder / ".hidden", "x");
    return folder;
}

} // namespace

TEST_F(EngineTest, MissingTargetFailsWithOnlyTheErrorLine) {
    job.targetFormat.reset();
    try {
        ConversionEngine::convert(job, dir / "out");
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::noTargetSelected);
    }
    EXPECT_EQ(messages(), std::vector<std::string>{"No target format selected"});
}

TEST_F(EngineTest, InvalidOutputIsDeletedAndReportedAsCorrupt) {
    const auto out = dir / "deep" / "er" / "out";
    try {
        ConversionEngine::convertWith(&writeBadZip, job, out);
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile);
        EXPECT_STREQ(
            e.what(),
            "File appears corrupt: The converted file didn't come out valid (ZIP magic: got "
            "[50 4B 05 06], want [50 4B 03 04]). The original is untouched.");
    }
    EXPECT_TRUE(std::filesystem::is_directory(out)); // created with its parents
    EXPECT_TRUE(std::filesystem::is_empty(out));
    EXPECT_EQ(test::readFile(dir / "in.zip"), "PK\x03\x04 source bytes");
    const auto entries = ConversionLogger::shared().entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].message, "Starting: ZIP \u2192 ZIP");
    EXPECT_EQ(entries[1].message,
              "Output failed validation: ZIP magic: got [50 4B 05 06], want [50 4B 03 04]");
    EXPECT_EQ(entries[2].category, "Archive");
    EXPECT_TRUE(entries[2].message.starts_with("Failed after 0."));
    EXPECT_EQ(entries[2].detail, "in.zip (ZIP \u2192 ZIP)");
}

TEST_F(EngineTest, SuccessLogsSizeAndReturnsTheOutput) {
    const auto output = ConversionEngine::convertWith(&writeGoodZip, job, dir / "out");
    EXPECT_EQ(output.parent_path(), dir / "out");
    const auto entries = ConversionLogger::shared().entries();
    EXPECT_EQ(entries.back().level, LogEntry::Level::success);
    EXPECT_TRUE(entries.back().message.ends_with("s \u2192 9 bytes")) << entries.back().message;
}

TEST_F(EngineTest, EmptyFileAndHiddenOnlyFolderAreEmptyOutput) {
    try {
        ConversionEngine::convertWith(&writeEmpty, job, dir / "out");
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::emptyOutput);
    }
    EXPECT_EQ(messages()[1], "Output file is empty (0 bytes)");

    job.detectedFormat = F::pdf;
    job.targetFormat = F::pdfSplit;
    try {
        ConversionEngine::convertWith(&writeHiddenOnlyFolder, job, dir / "out2");
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::emptyOutput);
    }
}

TEST_F(EngineTest, SourceThatIsNotAFileFailsBeforeTheConverterRuns) {
    job.sourceURL = dir.path();
    try {
        ConversionEngine::convertWith(&writeGoodZip, job, dir / "out");
        FAIL();
    } catch (const NotARegularFile& e) {
        EXPECT_EQ(e.what(),
                  "Not a regular file: " + dir.path().string() + ". Only files can be converted.");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

TEST(Routing, SendsEachPairFamilyToItsConverter) {
    using namespace Routing;
    EXPECT_EQ(operationFor(F::pdf, F::pdfPagePng), operationFor(F::pdf, F::pdfPageJpeg));
    EXPECT_NE(operationFor(F::pdf, F::pdfSplit), operationFor(F::pdf, F::txt));
    EXPECT_NE(operationFor(F::gif, F::mp4), operationFor(F::gif, F::png));
    EXPECT_EQ(operationFor(F::gif, F::png), operationFor(F::png, F::jpeg));
    EXPECT_EQ(operationFor(F::mp4, F::gif), operationFor(F::avi, F::gif));
    EXPECT_NE(operationFor(F::mp4, F::gif), operationFor(F::mp4, F::mov));
    EXPECT_EQ(operationFor(F::csv, F::json), operationFor(F::txt, F::html));
    for (F source : allFormats())
        for (F target : possibleConversions(source))
            EXPECT_NE(operationFor(source, target), nullptr);
}

} // namespace kv
