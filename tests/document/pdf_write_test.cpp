// Text and rich text set on PDF pages, end to end through the kelvane binary, read back by
// poppler's command-line tools.
#include "document/pdf/pdf_conversions.h"
#include "document/richtext/rich_text.h"
#include "engine/conversion_error.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <regex>

namespace kv {
namespace {

using test::readFile;
using test::runKelvane;
using test::runProgram;
using test::TempDir;
using test::writeFile;

std::string tool(const std::vector<std::string>& argv) {
    const auto result = runProgram(argv);
    EXPECT_EQ(result.exitCode, 0) << argv[0] << ": " << result.err;
    return result.out;
}

int pageCount(const std::filesystem::path& pdf) {
    std::smatch match;
    const std::string info = tool({"pdfinfo", pdf.string()});
    EXPECT_NE(info.find("612 x 792 pts (letter)"), std::string::npos) << info;
    return std::regex_search(info, match, std::regex("Pages:\\s+(\\d+)")) ? std::stoi(match[1])
                                                                          : -1;
}

class TextToPDF : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::haveTool("pdftotext"))
            GTEST_SKIP() << "poppler-utils is not installed";
        std::filesystem::create_directories(m_out);
    }
    std::filesystem::path convert(const std::filesystem::path& source) {
        return test::convertWithKelvane(source, "pdf", m_out);
    }
    TempDir m_dir;
    std::filesystem::path m_out = m_dir / "out";
};

TEST_F(TextToPDF, EveryLineSurvivesThePageEdges) {
    // Numbered lines, many long enough to wrap, so that page breaks fall inside paragraphs too.
    std::string text;
    for (int i = 1; i <= 400; ++i) {
        text += "Line " + std::to_string(i) + " ";
        for (int w = 0; w < (i * 7) % 23; ++w)
            text += "word ";
        text += "end" + std::to_string(i) + "\r\n";
    }
    writeFile(m_dir / "numbered.txt", text);
    const auto pdf = convert(m_dir / "numbered.txt");
    const int pages = pageCount(pdf);
    EXPECT_GT(pages, 8);
    EXPECT_LT(pages, 40);
    const std::string read = tool({"pdftotext", "-layout", pdf.string(), "-"});
    std::size_t at = 0;
    for (int i = 1; i <= 400; ++i) {
        const std::string start = "Line " + std::to_string(i) + " ";
        const std::string end = "end" + std::to_string(i) + "\n";
        const std::size_t found = read.find(start, at);
        ASSERT_NE(found, std::string::npos) << "line " << i << " lost or out of order";
        at = read.find(end, found);
        ASSERT_NE(at, std::string::npos) << "end of line " << i << " lost";
    }
    // 72-point margins: no text in the top inch of the first page.
    const std::string top = tool({"pdftotext", "-f", "1", "-l", "1", "-x", "0", "-y", "0", "-W",
                                  "612", "-H", "70", pdf.string(), "-"});
    EXPECT_EQ(top.find("Line"), std::string::npos) << top;
    EXPECT_NE(tool({"pdffonts", pdf.string()}).find("Mono"), std::string::npos);
}

TEST_F(TextToPDF, EmptyTextIsRefusedWithoutOutput) {
    writeFile(m_dir / "empty.txt", "");
    const auto result =
        runKelvane({"--convert", (m_dir / "empty.txt").string(), "pdf", m_out.string()});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.err.find("PDF has 0 pages, expected \u2265 1"), std::string::npos)
        << result.err;
    EXPECT_TRUE(std::filesystem::is_empty(m_out));
}

TEST_F(TextToPDF, RichTextKeepsItsFaces) {
    writeFile(m_dir / "styled.rtf",
              "{\\rtf1\\ansi{\\fonttbl{\\f0 Times;}{\\f1\\fmodern Courier;}}\\f0\\fs48 {\\b Big "
              "heading}\\par\\fs24 Plain {\\b bold} {\\i italic} {\\f1 fixed} "
              "caf\\'e9\\par Second paragraph\\par}");
    const auto pdf = convert(m_dir / "styled.rtf");
    EXPECT_EQ(pageCount(pdf), 1);
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    EXPECT_NE(text.find("Big heading"), std::string::npos) << text;
    EXPECT_LT(text.find("Big heading"), text.find("Second paragraph"));
    EXPECT_NE(text.find("caf\u00e9"), std::string::npos) << text;
    const std::string fonts = tool({"pdffonts", pdf.string()});
    EXPECT_NE(fonts.find("Bold"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find("Italic"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find("Mono"), std::string::npos) << fonts;

    writeFile(m_dir / "notes.md", "# Notes\n\nSome **strong** text and `code`.\n");
    const std::string markdown = tool({"pdftotext", convert(m_dir / "notes.md").string(), "-"});
    EXPECT_NE(markdown.find("Notes"), std::string::npos) << markdown;
    EXPECT_EQ(markdown.find("**"), std::string::npos) << markdown; // marks are set, not shown

    if (test::haveTool("pandoc")) {
        writeFile(m_dir / "src.md", "# Memo\n\nA *docx* paragraph.\n");
        ASSERT_EQ(runProgram(
                      {"pandoc", (m_dir / "src.md").string(), "-o", (m_dir / "memo.docx").string()})
                      .exitCode,
                  0);
        const std::string docx = tool({"pdftotext", convert(m_dir / "memo.docx").string(), "-"});
        EXPECT_NE(docx.find("A docx paragraph."), std::string::npos) << docx;
    }
}

// The top of each word on the first page, from pdftotext's bounding boxes.
std::vector<std::pair<std::string, double>> wordTops(const std::filesystem::path& pdf) {
    const std::string boxes = tool({"pdftotext", "-bbox", "-f", "1", "-l", "1", pdf.string(), "-"});
    std::vector<std::pair<std::string, double>> words;
    const std::regex word("<word xMin=\"[0-9.]+\" yMin=\"([0-9.]+)\"[^>]*>([^<]*)</word>");
    for (auto it = std::sregex_iterator(boxes.begin(), boxes.end(), word);
         it != std::sregex_iterator(); ++it)
        words.emplace_back((*it)[2], std::stod((*it)[1]));
    return words;
}

double topOf(const std::vector<std::pair<std::string, double>>& words, std::string_view text) {
    for (const auto& [word, top] : words)
        if (word == text)
            return top;
    ADD_FAILURE() << text << " not found";
    return 0;
}

TEST_F(TextToPDF, ParagraphsAreSpacedButLinesOfTextAndCodeAreNot) {
    writeFile(m_dir / "paras.rtf", "{\\rtf1\\ansi\\fs24 Alpha\\par Beta\\par Gamma\\par}");
    const auto rich = wordTops(convert(m_dir / "paras.rtf"));
    writeFile(m_dir / "lines.txt", "Alpha\nBeta\nGamma\n");
    const auto plain = wordTops(convert(m_dir / "lines.txt"));
    const double richGap = topOf(rich, "Beta") - topOf(rich, "Alpha");
    const double plainGap = topOf(plain, "Beta") - topOf(plain, "Alpha");
    EXPECT_NEAR(topOf(rich, "Gamma") - topOf(rich, "Beta"), richGap, 0.5);
    EXPECT_NEAR(topOf(plain, "Gamma") - topOf(plain, "Beta"), plainGap, 0.5);
    EXPECT_GT(richGap, 12 * 1.1 + 6) << "no space between paragraphs";
    EXPECT_LT(plainGap, 12 * 1.4) << "text lines spread apart";

    // Markdown: links and fenced code are rendered, the code's lines set close together.
    writeFile(m_dir / "notes.md", "See [the site](http://example.com/x) now.\n\n```\nfirst();\n"
                                  "  second();\n```\n\nAfter **code**.\n");
    const auto pdf = convert(m_dir / "notes.md");
    const std::string text = tool({"pdftotext", "-layout", pdf.string(), "-"});
    EXPECT_NE(text.find("See the site now."), std::string::npos) << text;
    EXPECT_EQ(text.find("http://"), std::string::npos) << text;
    EXPECT_EQ(text.find("```"), std::string::npos) << text;
    EXPECT_NE(text.find("first();\n  second();"), std::string::npos) << text;
    const auto words = wordTops(pdf);
    EXPECT_LT(topOf(words, "second();") - topOf(words, "first();"), 12 * 1.4);
    EXPECT_GT(topOf(words, "first();") - topOf(words, "See"), 12 * 1.1 + 6);
    EXPECT_NE(tool({"pdffonts", pdf.string()}).find("Mono"), std::string::npos);
    // The link is drawn in link colour: blue pixels where no other text is blue.
    const auto stem = m_dir / "notes";
    tool({"pdftoppm", "-r", "72", "-singlefile", pdf.string(), stem.string()});
    const std::string ppm = readFile(stem.string() + ".ppm");
    int blue = 0;
    for (std::size_t i = ppm.size() % 3; i + 2 < ppm.size(); i += 3)
        blue +=
            static_cast<unsigned char>(ppm[i]) < 80 && static_cast<unsigned char>(ppm[i + 2]) > 150
                ? 1
                : 0;
    EXPECT_GT(blue, 10);
}

TEST_F(TextToPDF, OnlyPDFWorkLoadsTheMediaModule) {
    // With the module out of reach, text pairs still convert and the PDF pair says why it cannot.
    writeFile(m_dir / "note.txt", "plain words\n");
    const std::string env = "KELVANE_MODULE_DIR=" + (m_dir / "no-modules").string();
    const auto run = [&](const char* target) {
        return runProgram({"env", env, KV_BINARY, "--convert", (m_dir / "note.txt").string(),
                           target, m_out.string()});
    };
    for (const char* target : {"html", "rtf", "docx", "epub", "markdown"})
        EXPECT_EQ(run(target).exitCode, 0) << target << "\n" << run(target).err;
    const auto pdf = run("pdf");
    EXPECT_NE(pdf.exitCode, 0);
    EXPECT_NE(pdf.err.find("could not be loaded"), std::string::npos) << pdf.err;
}

TEST(RichTextToPDF, MoreThanTenThousandPagesWritesNothing) {
    // Lines so tall that each fills a page: 10,001 of them need one page too many.
    richtext::TextAttributes huge;
    huge.pointSize = 500;
    richtext::RichText text;
    for (int i = 0; i < 10'001; ++i)
        text.append("x\n", huge);
    TempDir dir;
    try {
        DocumentConverter::richTextToPDF(text, dir / "long.pdf");
        ADD_FAILURE() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), ConversionError::corruptFile("This document is too long to convert "
                                                            "to PDF (over 10,000 pages).")
                                   .what());
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())); // no output, no temporary file
}

} // namespace
} // namespace kv
