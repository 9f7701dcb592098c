// The text, Markdown and HTML conversions: the regular-expression renderer, the page template and
// the rich-text Markdown writer.
#include "document/document_converter.h"
#include "document/markdown.h"
#include "document/richtext/rich_text.h"
#include "engine/conversion_error.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using DocumentConverter::attributedStringToMarkdown;
using DocumentConverter::escapeMarkdown;
using DocumentConverter::markdownBody;
using richtext::RichText;
using richtext::TextAttributes;

TextAttributes font(double size, bool bold = false, bool italic = false, bool monospace = false,
                    std::string link = {}) {
    TextAttributes a;
    a.pointSize = size;
    a.bold = bold;
    a.italic = italic;
    a.monospace = monospace;
    a.link = std::move(link);
    return a;
}

TEST(MarkdownToHTML, HeadingsOnlyForOneToThreeMarksFollowedBySpace) {
    EXPECT_EQ(markdownBody("# Title"), "<p><h1>Title</h1></p>");
    EXPECT_EQ(markdownBody("## Sub\n### Third"), "<p><h2>Sub</h2>\n<h3>Third</h3></p>");
    EXPECT_EQ(markdownBody("#### Four"), "<p>#### Four</p>");
    EXPECT_EQ(markdownBody("#NoSpace"), "<p>#NoSpace</p>");
    EXPECT_EQ(markdownBody("text # not a heading"), "<p>text # not a heading</p>");
}

TEST(MarkdownToHTML, EmphasisCodeAndEscapingInTheDocumentedOrder) {
    EXPECT_EQ(markdownBody("**bold** and *em* and `code`"),
              "<p><strong>bold</strong> and <em>em</em> and <code>code</code></p>");
    EXPECT_EQ(markdownBody("a < b & c > d"), "<p>a &lt; b &amp; c &gt; d</p>");
    EXPECT_EQ(markdownBody("> quote"), "<p>&gt; quote</p>");
    // Emphasis runs before code, so asterisks inside backticks still become em.
    EXPECT_EQ(markdownBody("`a *b* c`"), "<p><code>a <em>b</em> c</code></p>");
    // Nothing spans a line end.
    EXPECT_EQ(markdownBody("*open\nclose*"), "<p>*open\nclose*</p>");
    EXPECT_EQ(markdownBody("- item\n[link](x) _u_"), "<p>- item\n[link](x) _u_</p>");
}

TEST(MarkdownToHTML, BlankLinesSplitParagraphsAndSingleLineFeedsStay) {
    EXPECT_EQ(markdownBody("one\ntwo\n\nthree"), "<p>one\ntwo</p><p>three</p>");
    EXPECT_EQ(markdownBody("a\n\n\n\nb"), "<p>a</p><p></p><p>b</p>");
    EXPECT_EQ(markdownBody("\u00e9 **\u6f22\u5b57** \U0001F600"),
              "<p>\u00e9 <strong>\u6f22\u5b57</strong> \U0001F600</p>");
}

TEST(TextToHTML, ParagraphsLineBreaksAndTheFixedPage) {
    test::TempDir dir;
    test::writeFile(dir / "notes.txt", "First & <one>\nline two\n\nSecond\n\nThird");
    DocumentConverter::textToHTML(dir / "notes.txt", dir / "out.html");
    EXPECT_EQ(
        test::readFile(dir / "out.html"),
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"UTF-8\"><title>notes</title>\n"
        "<style>body{font-family:-apple-system,BlinkMacSystemFont,sans-serif;max-width:800px;"
        "margin:2rem "
        "auto;padding:0 1rem;line-height:1.6;color:#333;}</style>\n</head>\n<body>"
        "<p>First &amp; &lt;one&gt;<br>line two</p>\n<p>Second</p>\n<p>Third</p></body>\n</html>");
}

TEST(TextToHTML, WindowsLineEndsSplitParagraphsToo) {
    test::TempDir dir;
    test::writeFile(dir / "crlf.txt", "one\r\ntwo\r\n\r\nthree");
    DocumentConverter::textToHTML(dir / "crlf.txt", dir / "out.html");
    EXPECT_NE(test::readFile(dir / "out.html").find("<body><p>one<br>two</p>\n<p>three</p></body>"),
              std::string::npos);
    test::writeFile(dir / "crlf.md", "# A\r\n\r\n*b*");
    DocumentConverter::markdownToHTML(dir / "crlf.md", dir / "out2.html");
    EXPECT_NE(
        test::readFile(dir / "out2.html").find("<body><p><h1>A</h1></p><p><em>b</em></p></body>"),
        std::string::npos);
}

TEST(MarkdownToHTML, PageHasTheLightSchemeHeadAndEscapedTitle) {
    test::TempDir dir;
    test::writeFile(dir / "a&b.md", "# Hi");
    DocumentConverter::markdownToHTML(dir / "a&b.md", dir / "out.html");
    const std::string page = test::readFile(dir / "out.html");
    EXPECT_EQ(page.rfind("<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta "
                         "charset=\"UTF-8\"><title>a&amp;b</title>\n"
                         "<meta name=\"color-scheme\" content=\"only "
                         "light\">\n<style>html{color-scheme: only light;}",
                         0),
              0u);
    EXPECT_NE(
        page.find(
            "h1,h2,h3{color:#0a0a0a;}</style>\n</head>\n<body><p><h1>Hi</h1></p></body>\n</html>"),
        std::string::npos);
    EXPECT_NE(page.back(), '\n');
}

TEST(ReadTextFile, FallsBackToLatin1AndDropsAByteOrderMark) {
    test::TempDir dir;
    test::writeFile(dir / "latin1.txt", "caf\xE9 \xA9 \xFF");
    EXPECT_EQ(DocumentConverter::readTextFile(dir / "latin1.txt"), "caf\u00e9 \u00a9 \u00ff");
    test::writeFile(dir / "bom.txt", "\xEF\xBB\xBFhello\r\n");
    EXPECT_EQ(DocumentConverter::readTextFile(dir / "bom.txt"), "hello\r\n");
    try {
        (void)DocumentConverter::readTextFile(dir / "missing.txt");
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "File appears corrupt: Could not determine text encoding");
    }
}

TEST(RichTextToMarkdown, HeadingRatiosAgainstTheBodySize) {
    RichText text;
    text.append("Big\n", font(24));
    text.append("Medium\n", font(18));
    text.append("Small bold\n", font(14, true));
    text.append("Small plain\n", font(14));
    text.append("Body one\n", font(12));
    text.append("x", font(12, true));
    text.append(" body two\n", font(12));
    text.append("y", font(12, false, true));
    text.append(" three\n", font(12));
    EXPECT_EQ(attributedStringToMarkdown(text),
              "# Big\n\n## Medium\n\n### **Small bold**\n\nSmall plain\n\nBody one\n\n**x** body "
              "two\n\n*y* three\n");
}

TEST(RichTextToMarkdown, InlineMarksLinksAndEscaping) {
    RichText text;
    text.append("both", font(12, true, true));
    text.append(" ", font(12));
    text.append("a*b_c", font(12, false, false, true));
    text.append(" see ", font(12));
    text.append("here", font(12, false, false, false, "https://example.org/x?a=1"));
    text.append(" 1*2_3 [x] <y> \\ # | !", font(12));
    EXPECT_EQ(attributedStringToMarkdown(text),
              "***both*** `a*b_c` see [here](https://example.org/x?a=1) 1\\*2\\_3 \\[x\\] \\<y\\> "
              "\\\\ # | !\n");
    EXPECT_EQ(escapeMarkdown("`*_[]<>\\#"), "\\`\\*\\_\\[\\]\\<\\>\\\\#");
}

TEST(RichTextToMarkdown, BlankLinesCollapseAndTheResultEndsWithOneLineFeed) {
    RichText text;
    text.append("\n\n  one  \n\n\n \t \n\ntwo\n\n\n", font(12));
    // Spaces inside a line's runs stay; only the whole result is trimmed.
    EXPECT_EQ(attributedStringToMarkdown(text), "one  \n\ntwo\n");
    EXPECT_EQ(attributedStringToMarkdown(RichText{}), "");
}

TEST(RichTextToMarkdown, BodySizeIsTheSizeOfMostRuns) {
    // One long 10-point run against three short 16-point runs: the body is 16, so 24 is "##".
    RichText text;
    text.append(std::string(500, 'a') + "\n", font(10));
    text.append("b", font(16, true));
    text.append("c", font(16));
    text.append("d\n", font(16, true));
    text.append("Title\n", font(24));
    EXPECT_DOUBLE_EQ(richtext::bodyPointSize(text), 16);
    EXPECT_NE(attributedStringToMarkdown(text).find("\n## Title\n"), std::string::npos);
}

TEST(MarkdownForPrint, FencedCodeAndLinks) {
    using DocumentConverter::markdownPrintBody;
    // Code is escaped and kept verbatim, marks and links inside it included.
    EXPECT_EQ(markdownPrintBody("```cpp\nif (a < b) **x** [l](u)\n```\n"),
              "<pre>if (a &lt; b) **x** [l](u)</pre>");
    // A tilde fence closes only with tildes at least as long; an unclosed fence runs to the end.
    EXPECT_EQ(markdownPrintBody("~~~~\n~~~\n```\n~~~~~\nafter"),
              "<pre>~~~\n```</pre>" + markdownBody("after"));
    EXPECT_EQ(markdownPrintBody("```\nopen"), "<pre>open</pre>");
    // Inline backticks are not a fence.
    EXPECT_EQ(markdownPrintBody("```a``` b"), markdownBody("```a``` b"));
    // Links outside code become anchors; an image shows its alt text; code spans are left alone.
    EXPECT_EQ(markdownPrintBody("a [b](http://x/y?q=1) c"),
              "<p>a <a href=\"http://x/y?q=1\">b</a> c</p>");
    EXPECT_EQ(markdownPrintBody("![logo](pic.png) and `[k](v)`"),
              "<p>logo and <code>[k](v)</code></p>");
    // Not links: an empty target, a space in the target, nested brackets.
    for (const char* text : {"[a]()", "[a](b c)", "[a [b]](c)", "[a] (b)"})
        EXPECT_EQ(markdownPrintBody(text), markdownBody(text)) << text;
}

} // namespace
} // namespace kv
