// EPUB books from every document source, checked by epubcheck and an XML parser, and the chapter
// serialiser on HTML that is not XML.
#include "archive/zip_reader.h"
#include "document/epub_writer.h"
#include "engine/conversion_error.h"
#include "support/pdf_fixtures.h"
#include "support/test_support.h"
#include "validate/validator.h"

#include <gtest/gtest.h>
#include <map>
#include <pugixml.hpp>

namespace kv {
namespace {

using test::readFile;
using test::runKelvane;
using test::runProgram;
using test::TempDir;
using test::writeFile;

std::map<std::string, std::string> unpack(const std::filesystem::path& epub) {
    const std::string bytes = readFile(epub);
    std::map<std::string, std::string> files;
    for (auto& member : ArchiveConverter::readZIP(ArchiveConverter::asBytes(bytes)))
        files[member.name] = std::string(member.data.begin(), member.data.end());
    return files;
}

void expectWellFormed(const std::string& xml, const std::string& what) {
    pugi::xml_document document;
    const auto result =
        document.load_string(xml.c_str(), pugi::parse_default | pugi::parse_doctype);
    EXPECT_TRUE(result) << what << ": " << result.description() << " at " << result.offset << "\n"
                        << xml;
}

bool haveEpubcheck() {
    return std::filesystem::exists("/usr/share/java/epubcheck.jar") && test::haveTool("java");
}

void expectEpubcheckPasses(const std::filesystem::path& epub) {
    if (!haveEpubcheck())
        return;
    // Quick start-up flags: the check is a short run of a large program.
    const auto result = runProgram({"java", "-XX:TieredStopAtLevel=1", "-Xshare:auto", "-jar",
                                    "/usr/share/java/epubcheck.jar", "-q", epub.string()});
    EXPECT_EQ(result.exitCode, 0) << epub << "\n" << result.out << result.err;
}

TEST(WrapAsXHTML, BodyOfHTMLBecomesWellFormedXML) {
    const std::string html =
        "<html><head><title>x</title></head><body class=\"c\" onload=\"go()\">"
        "<p>one&nbsp;two<br>three<img src=\"gone.png\" alt=\"Picture\"><hr>"
        "<script>if (a < b) alert(1)</script><a href=\"#there\">in</a> <a href=\"#nowhere\">"
        "lost</a> <a href=\"https://example.org/?a=1&b=2\">web</a>\f<b><i>bad nesting</b></i>"
        "<span id=\"there\" data-x='\"q\"'>t</span><style>p{color:red}</style>"
        "</body></html>";
    const std::string xhtml = DocumentConverter::wrapAsXHTML(html, "T & \"Q\"");
    expectWellFormed(xhtml, "chapter");
    EXPECT_NE(xhtml.find("<title>T &amp; &quot;Q&quot;</title>"), std::string::npos);
    EXPECT_NE(xhtml.find("one\u00a0two<br/>three"), std::string::npos) << xhtml;
    EXPECT_NE(xhtml.find("<hr/>"), std::string::npos);
    EXPECT_NE(xhtml.find("Picture"), std::string::npos); // the missing picture's text
    EXPECT_EQ(xhtml.find("gone.png"), std::string::npos);
    EXPECT_EQ(xhtml.find("alert"), std::string::npos);
    EXPECT_EQ(xhtml.find("onload"), std::string::npos);
    EXPECT_EQ(xhtml.find('\f'), std::string::npos);
    EXPECT_EQ(xhtml.find("class=\"c\""), std::string::npos); // the body element itself is not kept
    EXPECT_NE(xhtml.find("<a href=\"#there\">in</a>"), std::string::npos);
    EXPECT_NE(xhtml.find("<a>lost</a>"), std::string::npos);
    EXPECT_NE(xhtml.find("href=\"https://example.org/?a=1&amp;b=2\""), std::string::npos);
    EXPECT_NE(xhtml.find("data-x=\"&quot;q&quot;\""), std::string::npos);
    EXPECT_NE(xhtml.find("<style>p{color:red}\n</style></head>"), std::string::npos) << xhtml;
}

TEST(WrapAsXHTML, FragmentsAndPlainTextAreEmbeddedWhole) {
    const std::string fragment = DocumentConverter::wrapAsXHTML("<p>a<p>b & c < d", "t");
    expectWellFormed(fragment, "fragment");
    EXPECT_NE(fragment.find("<p>a</p><p>b &amp; c &lt; d</p>"), std::string::npos) << fragment;
    // An opening body tag without a closing one: the whole text is the body.
    const std::string open =
        DocumentConverter::wrapAsXHTML("<body><svg><circle r=\"1\"/></svg>", "t");
    expectWellFormed(open, "svg");
    EXPECT_NE(open.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos) << open;
    const std::string empty = DocumentConverter::wrapAsXHTML("", "");
    expectWellFormed(empty, "empty");
    // A file name, and so a title, may hold characters that XML forbids.
    const std::string control = DocumentConverter::wrapAsXHTML("<p>x</p>", "a\x01\x0c<b>");
    expectWellFormed(control, "control title");
    EXPECT_NE(control.find("<title>a&lt;b&gt;</title>"), std::string::npos) << control;
}

class EPUBBooks : public ::testing::Test {
  protected:
    TempDir m_dir;
};

TEST_F(EPUBBooks, EverySourceMakesAValidBook) {
    std::vector<std::filesystem::path> sources;
    const auto add = [&](const std::string& name, const std::string& bytes) {
        writeFile(m_dir / name, bytes);
        sources.push_back(m_dir / name);
    };
    add("plain & \"quoted\".txt", "if a < b && c > d\n\fnext page \x01 control\n");
    add("notes.md",
        "# Title\n\nSome *em*, **strong**, `x < y` and [a link](https://example.org).\n\n"
        "- one\n- two\n\n![a picture](missing.png)\n");
    add("page.html", "<!doctype html><html><head><title>p</title></head><body bgcolor=\"white\">"
                     "<h1>Head</h1><p>caf&eacute; &amp; cr&egrave;me<br>line<table><tr><td>1<td>2"
                     "</table></body></html>");
    add("fragment.html", "<p>Only a fragment<br>with a break</p>");
    add("letter.rtf", "{\\rtf1\\ansi{\\fonttbl{\\f0 Times;}}\\f0\\fs24 {\\b Bold} and "
                      "{\\i italic} \\'e9t\\'e9\\par Second & last\\par}");
    test::writeTextPDF(m_dir / "report.pdf", {"First page & <text>", "Second page"});
    sources.push_back(m_dir / "report.pdf");
    if (test::haveTool("pandoc")) {
        writeFile(m_dir / "src.md", "# Heading\n\nA *docx* paragraph.\n");
        const auto made = runProgram(
            {"pandoc", (m_dir / "src.md").string(), "-o", (m_dir / "memo.docx").string()});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        sources.push_back(m_dir / "memo.docx");
    }
    const auto out = m_dir / "out";
    std::filesystem::create_directories(out);
    for (const auto& source : sources) {
        SCOPED_TRACE(source.filename().string());
        const auto epub = test::convertWithKelvane(source, "epub", out);
        ASSERT_TRUE(std::filesystem::exists(epub));
        // The first local header is the stored mimetype, without extra field.
        const std::string bytes = readFile(epub);
        ASSERT_GT(bytes.size(), 58u);
        EXPECT_EQ(bytes.substr(0, 4), std::string("PK\x03\x04", 4));
        EXPECT_EQ(bytes[8], 0); // method: stored
        EXPECT_EQ(bytes[9], 0);
        EXPECT_EQ(bytes[28], 0); // extra field length
        EXPECT_EQ(bytes.substr(30, 28), "mimetypeapplication/epub+zip");
        const auto files = unpack(epub);
        EXPECT_EQ(files.size(), 5u);
        for (const char* xml : {"META-INF/container.xml", "OEBPS/content.opf", "OEBPS/nav.xhtml",
                                "OEBPS/chapter1.xhtml"}) {
            ASSERT_EQ(files.count(xml), 1u) << xml;
            expectWellFormed(files.at(xml), xml);
        }
        EXPECT_TRUE(Validator::validate(epub, SupportedFormat::epub).kind ==
                    ValidationStatus::Kind::passed);
        expectEpubcheckPasses(epub);
    }
    const auto text = unpack(out / "plain & \"quoted\".epub");
    const std::string& chapter = text.at("OEBPS/chapter1.xhtml");
    EXPECT_NE(chapter.find("<pre>if a &lt; b &amp;&amp; c &gt; d\nnext page  control\n</pre>"),
              std::string::npos)
        << chapter;
    EXPECT_NE(
        text.at("OEBPS/content.opf").find("<dc:title>plain &amp; &quot;quoted&quot;</dc:title>"),
        std::string::npos);
    EXPECT_NE(text.at("OEBPS/nav.xhtml").find(">plain &amp; &quot;quoted&quot;</a>"),
              std::string::npos);
    EXPECT_NE(unpack(out / "report.epub")
                  .at("OEBPS/chapter1.xhtml")
                  .find("First page &amp; &lt;text&gt;"),
              std::string::npos);
    EXPECT_NE(unpack(out / "page.epub")
                  .at("OEBPS/chapter1.xhtml")
                  .find("caf\u00e9 &amp; cr\u00e8me<br/>"),
              std::string::npos);
    EXPECT_NE(unpack(out / "letter.epub").at("OEBPS/chapter1.xhtml").find("Bold"),
              std::string::npos);
}

TEST_F(EPUBBooks, EachBookHasItsOwnIdentifier) {
    writeFile(m_dir / "a.txt", "same text\n");
    std::string opf[2];
    for (int i = 0; i < 2; ++i) {
        const auto output = m_dir / ("book" + std::to_string(i) + ".epub");
        DocumentConverter::anyToEPUB(m_dir / "a.txt", SupportedFormat::txt, output);
        opf[i] = unpack(output).at("OEBPS/content.opf");
    }
    const auto identifier = [](const std::string& text) {
        const std::size_t at = text.find("urn:uuid:");
        return text.substr(at, 9 + 36);
    };
    EXPECT_NE(identifier(opf[0]), identifier(opf[1]));
    EXPECT_EQ(opf[0].size(), opf[1].size());
}

TEST_F(EPUBBooks, ScannedPDFAndTablesAreRefused) {
    test::writeImageOnlyPDF(m_dir / "scan.pdf");
    try {
        DocumentConverter::anyToEPUB(m_dir / "scan.pdf", SupportedFormat::pdf, m_dir / "s.epub");
        ADD_FAILURE() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_NE(std::string(e.what()).find("PDF contains no extractable text"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "s.epub"));
    writeFile(m_dir / "t.csv", "a,b\n1,2\n");
    try {
        DocumentConverter::anyToEPUB(m_dir / "t.csv", SupportedFormat::csv, m_dir / "t.epub");
        ADD_FAILURE() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::unsupportedConversion);
        EXPECT_NE(std::string(e.what()).find("EPUB"), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace kv
