// Where plain text lands on PDF pages: line breaks at the right margin, tab stops, wide and
// fallback-font characters, and right-to-left scripts, read back from poppler's word boxes.
#include "support/test_support.h"

#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>

namespace kv {
namespace {

using test::runKelvane;
using test::runProgram;
using test::TempDir;
using test::writeFile;

constexpr double kLeft = 72, kRight = 540; // the text area of a Letter page
constexpr double kTolerance = 0.5;         // points

struct Word {
    std::string text;
    double xMin, yMin, xMax;
};

constexpr std::string_view kNoBreakSpace = "\u00a0";

std::string withoutSpaces(std::string_view text) {
    std::string kept;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i, kNoBreakSpace.size()) == kNoBreakSpace)
            ++i;
        else if (text[i] != ' ' && text[i] != '\n' && text[i] != '\t' && text[i] != '\f')
            kept += text[i];
    }
    return kept;
}

class TextLayout : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::haveTool("pdftotext"))
            GTEST_SKIP() << "poppler-utils is not installed";
    }

    // Converts `text` and reads back the words of every page, in reading order.
    std::vector<Word> convert(const std::string& text) {
        writeFile(m_dir / "in.txt", text);
        const auto out = m_dir / "out";
        std::filesystem::remove_all(out);
        std::filesystem::create_directories(out);
        const auto result =
            runKelvane({"--convert", (m_dir / "in.txt").string(), "pdf", out.string()});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        m_pdf = out / "in.pdf";
        const auto boxes = runProgram({"pdftotext", "-bbox", m_pdf.string(), "-"});
        EXPECT_EQ(boxes.exitCode, 0) << boxes.err;
        std::vector<Word> words;
        const std::regex word("<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" "
                              "yMax=\"[0-9.]+\">([^<]*)</word>");
        for (auto it = std::sregex_iterator(boxes.out.begin(), boxes.out.end(), word);
             it != std::sregex_iterator(); ++it)
            words.push_back(
                {(*it)[4], std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3])});
        return words;
    }

    std::string plainText() { return runProgram({"pdftotext", m_pdf.string(), "-"}).out; }

    TempDir m_dir;
    std::filesystem::path m_pdf;
};

struct Line {
    double left = 1e9, right = 0;
    std::vector<const Word*> words;
};

// Words grouped by their line's top, top to bottom (one page).
std::vector<Line> linesOf(const std::vector<Word>& words) {
    std::map<long, Line> byTop;
    for (const auto& word : words) {
        Line& line = byTop[std::lround(word.yMin * 10)];
        line.left = std::min(line.left, word.xMin);
        line.right = std::max(line.right, word.xMax);
        line.words.push_back(&word);
    }
    std::vector<Line> lines;
    for (auto& [top, line] : byTop)
        lines.push_back(std::move(line));
    return lines;
}

double cellWidth(const Word& word) {
    return (word.xMax - word.xMin) / static_cast<double>(word.text.size());
}

TEST_F(TextLayout, LongLinesFillToTheRightMarginAndKeepEveryCharacter) {
    // One paragraph of ASCII words of many lengths, every fifth tied to the next by a no-break
    // space, then one word longer than a line.
    std::string paragraph;
    std::set<std::string> whole;
    std::map<std::string, std::string> tied;
    for (int i = 0; i < 150; ++i) {
        const std::string word =
            std::string(1 + (i * 7) % 13, static_cast<char>('a' + i % 26)) + std::to_string(i);
        whole.insert(word);
        paragraph += word;
        if (i % 5 == 4) {
            tied[word] = "nb" + std::to_string(i);
            whole.insert(tied[word]);
            paragraph += std::string(kNoBreakSpace) + tied[word];
        }
        paragraph += " ";
    }
    std::string longWord;
    for (int i = 0; i < 150; ++i)
        longWord += static_cast<char>('A' + i % 26);
    const std::string text = paragraph + "\n" + longWord + "\n";
    const auto words = convert(text);
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(withoutSpaces(plainText()), withoutSpaces(text)) << "characters lost or reordered";

    const double cell = cellWidth(words.front());
    EXPECT_NEAR(cell, 12 * 0.6, 0.3) << "not a 12-point monospace font";
    const auto lines = linesOf(words);
    const std::size_t longLines = (longWord.size() * cell) / (kRight - kLeft) + 1;
    ASSERT_GT(lines.size(), longLines + 1);
    const std::size_t paragraphLines = lines.size() - longLines;
    std::map<std::string, std::size_t> lineOf;
    for (std::size_t i = 0; i < lines.size(); ++i)
        for (const Word* word : lines[i].words)
            lineOf[word->text] = i;
    for (const auto& [word, partner] : tied)
        EXPECT_EQ(lineOf[word], lineOf[partner]) << word << " and " << partner << " split";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        EXPECT_NEAR(line.left, kLeft, kTolerance) << "line " << i;
        EXPECT_LE(line.right, kRight + kTolerance) << "line " << i << " runs past the margin";
        if (i < paragraphLines) {
            for (const Word* word : line.words)
                EXPECT_TRUE(whole.contains(word->text)) << word->text << " cut on line " << i;
        }
        if (i + 1 == paragraphLines || i + 1 == lines.size())
            continue; // a paragraph's last line may be short
        if (i >= paragraphLines) {
            EXPECT_GT(line.right + cell, kRight - kTolerance) << "long word line " << i;
            continue;
        }
        // The next line's first word (with the word tied to it) would not have fitted after a
        // space.
        const Line& nextLine = lines[i + 1];
        const Word& next = *nextLine.words.front();
        double nextRight = next.xMax;
        if (tied.contains(next.text)) {
            ASSERT_GT(nextLine.words.size(), 1u);
            EXPECT_EQ(nextLine.words[1]->text, tied[next.text]) << "tied words split";
            nextRight = nextLine.words[1]->xMax;
        }
        EXPECT_GT(line.right + cell + (nextRight - next.xMin), kRight + kTolerance)
            << "line " << i << " broke early before " << next.text;
    }
}

TEST_F(TextLayout, TabsStopEveryEightColumns) {
    const auto words = convert("a\tb\tc\nabcdefgh\tX\n\tindented\nabc\t\tY\n");
    std::map<std::string, double> left;
    double cell = 0;
    for (const auto& word : words) {
        left[word.text] = word.xMin;
        if (word.text == "abcdefgh")
            cell = cellWidth(word);
    }
    ASSERT_GT(cell, 0);
    EXPECT_NEAR(left["b"], kLeft + 8 * cell, kTolerance);
    EXPECT_NEAR(left["c"], kLeft + 16 * cell, kTolerance);
    // A tab reaching a stop exactly goes on to the next one.
    EXPECT_NEAR(left["X"], kLeft + 16 * cell, kTolerance);
    EXPECT_NEAR(left["indented"], kLeft + 8 * cell, kTolerance);
    EXPECT_NEAR(left["Y"], kLeft + 16 * cell, kTolerance);
}

TEST_F(TextLayout, WideAndFallbackFontCharactersWrapByTheirOwnWidth) {
    // 100 ideographs without a space, Hangul words, and a line mixing scripts and a pictograph.
    std::string ideographs;
    for (int i = 0; i < 50; ++i)
        ideographs += "東京";
    std::string hangul;
    for (int i = 0; i < 40; ++i)
        hangul += "서울 ";
    const std::string mixed = "caf\u00e9 \u6771\u4eac \u041c\u043e\u0441\u043a\u0432\u0430 "
                              "\U0001F680 na\u00efve";
    const auto words = convert(ideographs + "\n" + hangul + "\n" + mixed + "\n");
    const std::string read = plainText();
    std::string expected = withoutSpaces(ideographs + hangul + mixed);
    expected.erase(expected.find("\U0001F680"), 4); // drawn as a picture, not as text
    EXPECT_EQ(withoutSpaces(read), expected);

    const auto lines = linesOf(words);
    // The ideographs: full lines of glyphs a full em wide, the last one shorter.
    ASSERT_GE(lines.size(), 3u);
    double ideographWidth = 0;
    std::size_t ideographLines = 0, placed = 0;
    for (const auto& line : lines) {
        const std::string lineText = line.words.front()->text;
        if (lineText.rfind("\u6771", 0) != 0 && lineText.rfind("\u4eac", 0) != 0)
            break;
        std::size_t count = 0;
        for (const Word* word : line.words)
            count += word->text.size() / 3;
        placed += count;
        ideographWidth = (line.right - line.left) / static_cast<double>(count);
        EXPECT_LE(line.right, kRight + kTolerance);
        if (placed < 100) {
            EXPECT_GT(line.right + ideographWidth, kRight - kTolerance) << "short line";
        }
        ++ideographLines;
    }
    EXPECT_EQ(placed, 100u);
    EXPECT_NEAR(ideographWidth, 12, 0.5);
    EXPECT_EQ(ideographLines,
              static_cast<std::size_t>(std::ceil(100 / std::floor((kRight - kLeft) / 12))));
    for (const auto& line : lines)
        EXPECT_LE(line.right, kRight + kTolerance);
    // Characters the monospace font lacks come from other fonts.
    const std::string fonts = runProgram({"pdffonts", m_pdf.string()}).out;
    std::set<std::string> names;
    const std::regex name("\\+([A-Za-z-]+)");
    for (auto it = std::sregex_iterator(fonts.begin(), fonts.end(), name);
         it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
    EXPECT_GE(names.size(), 2u) << fonts;
}

TEST_F(TextLayout, RightToLeftAndJoiningScriptsAreShaped) {
    const auto words =
        convert("abc \u0644\u0627 \u0633\u0644\u0627\u0645 def\n\u05e9\u05dc\u05d5\u05dd "
                "\u05e2\u05d5\u05dc\u05dd\n");
    ASSERT_FALSE(words.empty());
    const double cell = cellWidth(words.front());
    // Lam and alef join into one glyph: "لا" takes one cell and "سلام" three.
    double arabicLeft = 1e9, arabicRight = 0, hebrewShin = 0, hebrewAyin = 0;
    for (const auto& word : words) {
        if (word.text.find("\u0644\u0627") != std::string::npos ||
            word.text.find("\u0627\u0644") != std::string::npos ||
            word.text.find("\u0633") != std::string::npos || word.text == "\u0645") {
            arabicLeft = std::min(arabicLeft, word.xMin);
            arabicRight = std::max(arabicRight, word.xMax);
        }
        if (word.text.find("\u05e9") != std::string::npos)
            hebrewShin = word.xMin;
        if (word.text.find("\u05e2") != std::string::npos)
            hebrewAyin = word.xMin;
    }
    EXPECT_NEAR(arabicRight - arabicLeft, 5 * cell, kTolerance) << "1 + space + 3 cells";
    // Hebrew reads from the right: the first word stands right of the second.
    EXPECT_GT(hebrewShin, hebrewAyin);
    const std::string read = plainText();
    EXPECT_NE(read.find("\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd"), std::string::npos)
        << read;
}

TEST_F(TextLayout, ParagraphsSetEitherWayStayInOrderAcrossPages) {
    // Every third line carries a combining accent, which only full shaping places; the others are
    // plain. Their order in the page content must be the order of the file.
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "line" + std::to_string(i) + (i % 3 == 0 ? " cafe\u0301" : " plain") + "\n";
    const auto words = convert(text);
    ASSERT_FALSE(words.empty());
    const std::string raw = runProgram({"pdftotext", "-raw", m_pdf.string(), "-"}).out;
    std::size_t at = 0;
    for (int i = 0; i < 200; ++i) {
        const std::size_t found = raw.find("line" + std::to_string(i) + " ", at);
        ASSERT_NE(found, std::string::npos) << "line " << i << " lost or out of order";
        at = found;
    }
    std::smatch pages;
    const std::string info = runProgram({"pdfinfo", m_pdf.string()}).out;
    ASSERT_TRUE(std::regex_search(info, pages, std::regex("Pages:\\s+(\\d+)")));
    EXPECT_GE(std::stoi(pages[1]), 3) << "meant to cross page edges";
    EXPECT_NE(raw.find("caf"), std::string::npos);
}

} // namespace
} // namespace kv
