// Text read out of PDFs: every page in order, the escaped HTML page, Markdown with page breaks, and
// the failures for scanned, locked and broken files.
#include "document/pdf/pdf_conversions.h"
#include "engine/conversion_error.h"
#include "support/pdf_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

void expectError(const std::function<void()>& run, ConversionError::Kind kind,
                 std::string_view fragment) {
    try {
        run();
        ADD_FAILURE() << "no error, expected " << fragment;
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

class PDFText : public ::testing::Test {
  protected:
    void SetUp() override {
        test::writeTextPDF(m_dir / "three.pdf", {"Alpha & <one>", "", "Gamma three"});
        test::writeImageOnlyPDF(m_dir / "scan.pdf");
    }
    TempDir m_dir;
};

TEST_F(PDFText, PagesComeOutInOrderAndEscaped) {
    const std::string text = DocumentConverter::extractPDFText(m_dir / "three.pdf");
    const std::size_t first = text.find("Alpha & <one>");
    const std::size_t third = text.find("Gamma three");
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(third, std::string::npos) << text;
    EXPECT_LT(first, third);
    EXPECT_TRUE(text.ends_with("\n\n"));

    DocumentConverter::pdfToHTML(m_dir / "three.pdf", m_dir / "t.html");
    const std::string html = readFile(m_dir / "t.html");
    EXPECT_NE(html.find("<div class=\"page\"><p>Alpha &amp; &lt;one&gt;"), std::string::npos)
        << html;
    EXPECT_TRUE(html.starts_with("<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta "
                                 "charset=\"UTF-8\"><title>three</title>"));

    DocumentConverter::pdfToMarkdown(m_dir / "three.pdf", m_dir / "t.md");
    const std::string markdown = readFile(m_dir / "t.md");
    // The empty middle page leaves no empty section between the breaks.
    EXPECT_EQ(markdown, "Alpha & <one>\n\n---\n\nGamma three\n");
}

TEST_F(PDFText, ScannedLockedAndBrokenFilesFailClearly) {
    const auto noText = ConversionError::Kind::corruptFile;
    for (const auto& run : std::vector<std::function<void()>>{
             [&] { DocumentConverter::extractPDFText(m_dir / "scan.pdf"); },
             [&] { DocumentConverter::pdfToHTML(m_dir / "scan.pdf", m_dir / "s.html"); },
             [&] { DocumentConverter::pdfToMarkdown(m_dir / "scan.pdf", m_dir / "s.md"); }})
        expectError(run, noText, "PDF contains no extractable text (may be scanned/image-based)");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "s.html"));

    writeFile(m_dir / "junk.pdf", "%PDF-1.4\nnot really a pdf\n");
    expectError([&] { DocumentConverter::extractPDFText(m_dir / "junk.pdf"); },
                ConversionError::Kind::failedToLoadFile, "");

    if (!test::haveTool("qpdf"))
        GTEST_SKIP() << "qpdf is not installed";
    const auto locked =
        test::runProgram({"qpdf", "--encrypt", "user", "owner", "256", "--",
                          (m_dir / "three.pdf").string(), (m_dir / "locked.pdf").string()});
    ASSERT_EQ(locked.exitCode, 0) << locked.err;
    expectError([&] { DocumentConverter::extractPDFText(m_dir / "locked.pdf"); }, noText,
                "The PDF is protected by a password");
}

TEST_F(PDFText, EveryTextTargetThroughTheProgram) {
    const auto out = m_dir / "out";
    std::filesystem::create_directories(out);
    for (const char* target : {"txt", "html", "markdown", "rtf", "docx"}) {
        SCOPED_TRACE(target);
        const auto result =
            test::runKelvane({"--convert", (m_dir / "three.pdf").string(), target, out.string()});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        std::string path = result.out;
        path.pop_back();
        // Read back through the program's own readers: the text of both pages, in order.
        if (std::string_view(target) == "txt") {
            const std::string text = readFile(path);
            EXPECT_LT(text.find("Alpha & <one>"), text.find("Gamma three")) << text;
            continue;
        }
        std::filesystem::create_directories(m_dir / target);
        const auto again = test::runKelvane({"--convert", path, "txt", (m_dir / target).string()});
        ASSERT_EQ(again.exitCode, 0) << again.err;
        std::string readBack = again.out;
        readBack.pop_back();
        const std::string text = readFile(readBack);
        EXPECT_NE(text.find("Alpha & <one>"), std::string::npos) << text;
        EXPECT_LT(text.find("Alpha & <one>"), text.find("Gamma three")) << text;
    }
    const auto scanned =
        test::runKelvane({"--convert", (m_dir / "scan.pdf").string(), "html", out.string()});
    EXPECT_NE(scanned.exitCode, 0);
    EXPECT_NE(scanned.err.find("no extractable text"), std::string::npos) << scanned.err;
}

} // namespace
} // namespace kv
