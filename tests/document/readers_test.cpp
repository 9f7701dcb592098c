// The RTF, DOCX and HTML readers on hand-made documents, hostile ones included, and the writers
// read back by our own readers.
#include "archive/zip_writer.h"
#include "document/markdown.h"
#include "document/richtext/docx_reader.h"
#include "document/richtext/docx_writer.h"
#include "document/richtext/html_reader.h"
#include "document/richtext/html_writer.h"
#include "document/richtext/rtf_reader.h"
#include "document/richtext/rtf_writer.h"
#include "engine/conversion_error.h"

#include <chrono>
#include <gtest/gtest.h>
#include <regex>

namespace kv {
namespace {

using namespace richtext;

const TextRun& runWith(const RichText& text, std::string_view needle) {
    const std::size_t at = text.string().find(needle);
    EXPECT_NE(at, std::string::npos) << needle << " in " << text.string();
    static const TextRun none;
    const TextRun* run = at == std::string::npos ? nullptr : text.runAt(at);
    return run == nullptr ? none : *run;
}

void expectCorrupt(const std::function<void()>& read, std::string_view fragment) {
    try {
        read();
        ADD_FAILURE() << "no error, expected " << fragment;
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile);
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

void expectSameRichText(const RichText& actual, const RichText& expected) {
    EXPECT_EQ(actual.string(), expected.string());
    ASSERT_EQ(actual.runs().size(), expected.runs().size());
    for (std::size_t i = 0; i < actual.runs().size(); ++i) {
        const TextRun& a = actual.runs()[i];
        const TextRun& e = expected.runs()[i];
        EXPECT_TRUE(a.start == e.start && a.length == e.length && a.attributes == e.attributes)
            << "run " << i << ": " << expected.string().substr(e.start, e.length);
    }
}

ArchiveConverter::Bytes
makeDOCX(const std::string& body, const std::string& styles = "", const std::string& rels = "",
         const std::vector<std::pair<std::string, std::string>>& parts = {}) {
    const std::string w =
        "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";
    std::vector<ArchiveConverter::ZipEntry> entries;
    const auto add = [&](std::string name, std::string data) {
        entries.push_back({.name = std::move(name),
                           .data = std::move(data),
                           .method = ArchiveConverter::ZipMethod::deflated,
                           .modified = 0});
    };
    add("word/document.xml",
        "<?xml version=\"1.0\"?><w:document " + w + "><w:body>" + body + "</w:body></w:document>");
    if (!styles.empty())
        add("word/styles.xml", "<w:styles " + w + ">" + styles + "</w:styles>");
    if (!rels.empty())
        add("word/_rels/document.xml.rels",
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                rels + "</Relationships>");
    for (const auto& [name, data] : parts)
        add(name, data);
    return ArchiveConverter::buildZIP(entries);
}

TEST(RTFReader, FontsSizesTraitsFieldsAndCodePages) {
    const std::string rtf =
        "{\\rtf1\\ansi\\ansicpg1251\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fnil "
        "Menlo;}{\\f2\\fmodern Foo;}"
        "{\\f3\\fnil\\fcharset128 MS Gothic;}}{\\colortbl;\\red0\\green0\\blue0;}{\\*\\generator "
        "Hidden;}"
        "{\\info{\\title Not text}}\\pard\\outlinelevel0 Heading\\par\\pard\\plain\\fs24 {\\b "
        "bold} {\\i it} "
        "{\\b\\i both} {\\f1 menlo} {\\f2 modern} \\'cf\\'f0\\'e8 {\\f3 \\'82\\'a0}\\par "
        "{\\field{\\*\\fldinst{HYPERLINK \"https://example.org/p?q=1\"}}{\\fldrslt{\\ul link}}} "
        "\\u8364?\\uc2\\u26085??\\uc1\\u-10179?\\u-8704? a\\tab b\\line c{\\pict\\bin4 "
        "{}{}junk}\\par}";
    const RichText text = readRTF(rtf);
    EXPECT_EQ(text.string(),
              "Heading\nbold it both menlo modern \u041f\u0440\u0438 \u3042\nlink \u20ac\u65e5"
              "\U0001F600 a\tb\nc\n");
    EXPECT_EQ(runWith(text, "Heading").attributes.pointSize, 24);
    EXPECT_TRUE(runWith(text, "Heading").attributes.bold);
    EXPECT_TRUE(runWith(text, "bold").attributes.bold);
    EXPECT_TRUE(runWith(text, "it").attributes.italic);
    EXPECT_TRUE(runWith(text, "both").attributes.bold && runWith(text, "both").attributes.italic);
    EXPECT_TRUE(runWith(text, "menlo").attributes.monospace);
    EXPECT_TRUE(runWith(text, "modern").attributes.monospace);
    EXPECT_FALSE(runWith(text, "bold").attributes.monospace);
    EXPECT_EQ(runWith(text, "link").attributes.link, "https://example.org/p?q=1");
    EXPECT_EQ(runWith(text, "link").attributes.pointSize, 12);
    EXPECT_EQ(DocumentConverter::attributedStringToMarkdown(text).substr(0, 12), "# **Heading*");
}

TEST(RTFWriter, QuotesInLinkTargetsDoNotEndTheFieldArgument) {
    RichText source;
    TextAttributes a;
    a.link = "https://example.org/?q=\"x\"";
    source.append("quoted", a);
    EXPECT_EQ(runWith(readRTF(writeRTF(source)), "quoted").attributes.link,
              "https://example.org/?q=%22x%22");
}

TEST(RTFReader, HostileDocumentsFailCleanly) {
    expectCorrupt([] { (void)readRTF("hello"); }, "does not start with {\\rtf");
    expectCorrupt([] { (void)readRTF("{\\rtf1 " + std::string(5000, '{') + "x"); },
                  "nested more than 1000");
    expectCorrupt([] { (void)readRTF("{\\rtf1 {\\pict\\bin999999 abc}}"); },
                  "\\bin data runs past the end");
    expectCorrupt([] { (void)readRTF("{\\rtf1 \\bin-5 abc}"); }, "\\bin data runs past the end");
    // Deep but allowed, unterminated, and unbalanced documents read what they hold.
    EXPECT_EQ(readRTF("{\\rtf1 " + std::string(900, '{') + "deep").string(), "deep");
    EXPECT_EQ(readRTF("{\\rtf1 a}} b").string(), "a");
    EXPECT_EQ(readRTF("{\\rtf1 \\'4").string(), "");
    EXPECT_EQ(readRTF("{\\rtf1 \\u").string(), "");
}

TEST(RTFReader, EveryTruncationOfAWrittenDocumentReadsOrFailsCleanly) {
    RichText source;
    TextAttributes a;
    source.append("H\u00e9llo \u6f22 \U0001F600", a);
    a.link = "http://x";
    source.append(" link\n", a);
    const std::string rtf = writeRTF(source);
    for (std::size_t n = 0; n < rtf.size(); ++n) {
        try {
            (void)readRTF(std::string_view(rtf).substr(0, n));
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile) << n;
        }
    }
}

TEST(DOCXReader, StylesWithBasedOnChainsHeadingsHyperlinksTablesAndFields) {
    const std::string styles =
        "<w:docDefaults><w:rPrDefault><w:rPr><w:sz "
        "w:val=\"22\"/></w:rPr></w:rPrDefault></w:docDefaults>"
        "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name "
        "w:val=\"Normal\"/></w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"Heading2\"><w:name w:val=\"heading 2\"/>"
        "<w:basedOn w:val=\"Normal\"/></w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"Mine\"><w:name w:val=\"Mine\"/><w:basedOn "
        "w:val=\"Heading2\"/>"
        "</w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"Emph\"><w:basedOn "
        "w:val=\"Loop\"/><w:rPr><w:i/></w:rPr></w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"Loop\"><w:basedOn "
        "w:val=\"Emph\"/><w:rPr><w:b/></w:rPr></w:style>"
        "<w:style w:type=\"character\" w:styleId=\"Code\"><w:name w:val=\"Plain\"/><w:rPr>"
        "<w:rFonts w:ascii=\"Consolas\"/></w:rPr></w:style>";
    const std::string rels =
        "<Relationship Id=\"rId9\" Type=\"http://schemas.openxmlformats.org/officeDocument/"
        "2006/relationships/hyperlink\" Target=\"https://example.org/\" TargetMode=\"External\"/>";
    const std::string body =
        "<w:p><w:pPr><w:pStyle w:val=\"Mine\"/></w:pPr><w:r><w:t>Derived heading</w:t></w:r></w:p>"
        "<w:p><w:pPr><w:pStyle w:val=\"Emph\"/></w:pPr><w:r><w:t>styled</w:t></w:r></w:p>"
        "<w:p><w:r><w:rPr><w:b/><w:b w:val=\"false\"/><w:sz w:val=\"30\"/></w:rPr><w:t "
        "xml:space=\"preserve\">"
        " big </w:t></w:r><w:r><w:rPr><w:rStyle "
        "w:val=\"Code\"/></w:rPr><w:t>mono</w:t><w:tab/><w:t>x</w:t>"
        "<w:br/><w:t>y</w:t></w:r><w:hyperlink "
        "r:id=\"rId9\"><w:r><w:t>link</w:t></w:r></w:hyperlink>"
        "<w:hyperlink w:anchor=\"sec\"><w:r><w:t>inner</w:t></w:r></w:hyperlink>"
        "<w:r><w:fldChar w:fldCharType=\"begin\"/></w:r><w:r><w:instrText> HYPERLINK "
        "\"http://f.org\" </w:instrText>"
        "</w:r><w:r><w:fldChar w:fldCharType=\"separate\"/></w:r><w:r><w:t>field</w:t></w:r>"
        "<w:r><w:fldChar "
        "w:fldCharType=\"end\"/></w:r><w:del><w:r><w:delText>gone</w:delText></w:r></w:del></w:p>"
        "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>a</w:t></w:r></w:p><w:p><w:r><w:t>a2</w:t></w:r></w:p></"
        "w:tc>"
        "<w:tc><w:p><w:r><w:t>b</w:t></w:r></w:p></w:tc></w:tr><w:tr><w:tc><w:p><w:r><w:t>c</w:t></"
        "w:r></w:p>"
        "</w:tc><w:tc><w:p/></w:tc></w:tr></w:tbl><w:sectPr/>";
    const RichText text = readDOCX(makeDOCX(body, styles, rels));
    EXPECT_EQ(text.string(),
              "Derived heading\nstyled\n big mono\tx\nylinkinnerfield\na a2\tb\nc\n");
    EXPECT_EQ(runWith(text, "Derived").attributes.pointSize, 18);
    EXPECT_TRUE(runWith(text, "Derived").attributes.bold);
    EXPECT_TRUE(runWith(text, "styled").attributes.italic &&
                runWith(text, "styled").attributes.bold);
    EXPECT_EQ(runWith(text, "big").attributes.pointSize, 15);
    EXPECT_FALSE(runWith(text, "big").attributes.bold);
    EXPECT_EQ(runWith(text, "styled").attributes.pointSize, 11);
    EXPECT_TRUE(runWith(text, "mono").attributes.monospace);
    EXPECT_EQ(runWith(text, "link").attributes.link, "https://example.org/");
    EXPECT_EQ(runWith(text, "inner").attributes.link, "#sec");
    EXPECT_EQ(runWith(text, "field").attributes.link, "http://f.org");
}

TEST(DOCXReader, TablesAndPicturesReachTheHTMLExport) {
    const std::string png("\x89PNG\r\n\x1a\nrest", 12);
    const std::string cell = "<w:tc><w:p><w:r><w:t>";
    const std::string end = "</w:t></w:r></w:p></w:tc>";
    const std::string body =
        "<w:p><w:r><w:t>Intro</w:t></w:r></w:p>"
        "<w:tbl><w:tblPr><w:tblStyle w:val=\"TableGrid\"/></w:tblPr>"
        "<w:tr>" +
        cell + "a" + end + cell + "b &amp; c" + end +
        "</w:tr>"
        // A trailing empty cell, and a table inside a cell.
        "<w:tr>" +
        cell + "d" + end +
        "<w:tc><w:p/></w:tc></w:tr>"
        "<w:tr><w:tc><w:tbl><w:tr>" +
        cell + "x" + end + cell + "y" + end + "</w:tr></w:tbl></w:tc>" + cell + "z" + end +
        "</w:tr></w:tbl>"
        "<w:tbl><w:tr>" +
        cell + "plain" + end +
        "</w:tr></w:tbl>"
        "<w:p><w:r><w:t>Pic</w:t></w:r><w:r><w:drawing><wp:inline "
        "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\">"
        "<wp:extent cx=\"952500\" cy=\"476250\"/><a:graphic "
        "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><a:graphicData><pic:pic "
        "xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\"><pic:blipFill>"
        "<a:blip r:embed=\"rIdPic\"/></pic:blipFill></pic:pic></a:graphicData></a:graphic>"
        "</wp:inline></w:drawing></w:r></w:p><w:sectPr/>";
    const std::string w =
        "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";
    std::vector<ArchiveConverter::ZipEntry> entries;
    for (const auto& [name, data] : std::vector<std::pair<std::string, std::string>>{
             {"word/document.xml", "<?xml version=\"1.0\"?><w:document " + w + "><w:body>" + body +
                                       "</w:body></w:document>"},
             {"word/_rels/document.xml.rels",
              "<Relationships "
              "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
              "<Relationship Id=\"rIdPic\" Type=\"http://schemas.openxmlformats.org/"
              "officeDocument/2006/relationships/image\" Target=\"media/p.png\"/>"
              "</Relationships>"},
             {"word/media/p.png", png}})
        entries.push_back({.name = name,
                           .data = data,
                           .method = ArchiveConverter::ZipMethod::deflated,
                           .modified = 0});
    const auto package = ArchiveConverter::buildZIP(entries);
    const RichText text = readDOCX(package);
    EXPECT_EQ(text.string(), "Intro\na\tb & c\nd\nx\ty \tz\nplain\nPic\n");
    ASSERT_EQ(text.pictures().size(), 1u);
    EXPECT_EQ(text.pictures()[0].offset, text.string().find("Pic") + 3);
    EXPECT_DOUBLE_EQ(text.pictures()[0].width, 75);
    EXPECT_DOUBLE_EQ(text.pictures()[0].height, 37.5);
    EXPECT_EQ(text.pictures()[0].bytes, std::vector<std::uint8_t>(png.begin(), png.end()));
    EXPECT_EQ(readDOCX(package, 1), text); // read in pieces: the same tables and pictures

    const std::string html = writeHTML(text, "t");
    const std::string lined =
        "<td style=\"border:1px solid #000;padding:2px 6px;vertical-align:top\">";
    EXPECT_NE(html.find("<tr>" + lined + "a</td>" + lined + "b &amp; c</td></tr>\n<tr>" + lined +
                        "d</td>" + lined + "</td></tr>\n<tr>" + lined + "<table"),
              std::string::npos)
        << html;
    EXPECT_NE(
        html.find("<tr><td style=\"padding:2px 6px;vertical-align:top\">plain</td></tr>\n</table>"),
        std::string::npos);
    EXPECT_LT(html.find("Intro"), html.find("<table"));
    EXPECT_NE(html.find("<p><img src=\"data:image/png;base64,iVBORw0KGgpyZXN0\" width=\"100\" "
                        "height=\"50\" alt=\"\">Pic</p>"),
              std::string::npos)
        << html;
}

// A cell of `text` (none: an empty paragraph) with the cell properties `properties`.
std::string docxCell(const std::string& text, const std::string& properties = "") {
    return "<w:tc>" + (properties.empty() ? "" : "<w:tcPr>" + properties + "</w:tcPr>") +
           (text.empty() ? "<w:p/>" : "<w:p><w:r><w:t>" + text + "</w:t></w:r></w:p>") + "</w:tc>";
}

// The export's tables without their styles: the cell layout a reader sees.
std::string tableMarkup(const std::string& html) {
    const std::size_t from = html.find("<table");
    const std::size_t to = html.rfind("</table>");
    if (from == std::string::npos || to == std::string::npos)
        return {};
    return std::regex_replace(html.substr(from, to + 8 - from), std::regex(" style=\"[^\"]*\""),
                              "");
}

TEST(DOCXReader, MergedCellsSpanTheirColumnsAndRows) {
    const std::string restart = "<w:vMerge w:val=\"restart\"/>";
    const std::string body =
        "<w:tbl><w:tblPr><w:tblStyle w:val=\"TableGrid\"/></w:tblPr>"
        "<w:tr>" +
        docxCell("Region", restart + "<w:vAlign w:val=\"center\"/>") +
        docxCell("Sales", "<w:gridSpan w:val=\"2\"/><w:vAlign w:val=\"bottom\"/>") +
        // A row without cells is no line of the table.
        "</w:tr><w:tr/><w:tr>" + docxCell("", "<w:vMerge/>") + docxCell("Q1") + docxCell("Q2") +
        // A cell wrapped in a content control, then a whole row wrapped in one.
        "</w:tr><w:tr>" + docxCell("North") + docxCell("10", restart) + "<w:sdt><w:sdtContent>" +
        docxCell("x") + "</w:sdtContent></w:sdt></w:tr><w:sdt><w:sdtContent><w:tr>" +
        docxCell("South") +
        // A continuation that holds text keeps it, starting a merge of its own.
        docxCell("kept", "<w:vMerge/>") + docxCell("y") + "</w:tr></w:sdtContent></w:sdt><w:tr>" +
        docxCell("East") + docxCell("", "<w:vMerge w:val=\"continue\"/>") + docxCell("z") +
        // A span past any grid, and a continuation with nothing above it to continue.
        "</w:tr><w:tr>" + docxCell("wide", "<w:gridSpan w:val=\"99999999\"/>") +
        docxCell("", "<w:vMerge/>") + docxCell("last") + "</w:tr></w:tbl>";
    const auto package = makeDOCX(body);
    const RichText text = readDOCX(package);
    // Writers that see lines of text keep every cell, a merge's empty ones included.
    EXPECT_EQ(text.string(),
              "Region\tSales\n\tQ1\tQ2\nNorth\t10\tx\nSouth\tkept\ty\nEast\t\tz\nwide\t\tlast\n");
    EXPECT_EQ(readDOCX(package, 1), text);
    const std::string html = writeHTML(text, "t");
    EXPECT_NE(html.find("vertical-align:middle\">Region"), std::string::npos);
    EXPECT_NE(html.find("vertical-align:bottom\">Sales"), std::string::npos);
    EXPECT_NE(html.find("vertical-align:top\">Q1"), std::string::npos);
    EXPECT_EQ(tableMarkup(html),
              "<table>\n"
              "<tr><td rowspan=\"2\">Region</td><td colspan=\"2\">Sales</td></tr>\n"
              "<tr><td>Q1</td><td>Q2</td></tr>\n"
              "<tr><td>North</td><td>10</td><td>x</td></tr>\n"
              "<tr><td>South</td><td rowspan=\"2\">kept</td><td>y</td></tr>\n"
              "<tr><td>East</td><td>z</td></tr>\n"
              "<tr><td colspan=\"64\">wide</td><td></td><td>last</td></tr>\n"
              "</table>");
}

// Every cell of a very wide row starting a vertical merge once cost time growing with the square
// of the row: 100,000 cells in an 18 KB file took seconds, a million minutes.
TEST(DOCXReader, AWideRowOfMergesReadsInLinearTime) {
    std::string starts, continues;
    for (int i = 0; i < 200'000; ++i) {
        starts += docxCell("", "<w:vMerge w:val=\"restart\"/>");
        continues += docxCell("", "<w:vMerge/>");
    }
    const auto package = makeDOCX("<w:tbl><w:tr>" + starts + "</w:tr><w:tr>" + continues +
                                  "</w:tr></w:tbl><w:p><w:r><w:t>end</w:t></w:r></w:p>");
    const auto started = std::chrono::steady_clock::now();
    const RichText text = readDOCX(package);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    ASSERT_EQ(text.tables().size(), 1u);
    ASSERT_EQ(text.tables()[0].rows[1].cells.size(), 200'000u);
    // Merges are followed across the grid's 64 columns; past them the cells stand alone.
    EXPECT_EQ(text.tables()[0].rows[0].cells[63].rows, 2u);
    EXPECT_EQ(text.tables()[0].rows[0].cells[64].rows, 1u);
    EXPECT_EQ(text.tables()[0].rows[1].cells[64].rows, 1u);
    EXPECT_TRUE(text.string().ends_with("\nend\n"));
}

TEST(DOCXReader, TablesInsideCellsStayTablesInTheirCell) {
    const std::string png("\x89PNG\r\n\x1a\nrest", 12);
    const std::string picture =
        "<w:r><w:drawing><wp:inline "
        "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\">"
        "<a:graphic xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\">"
        "<a:graphicData><a:blip r:embed=\"rIdPic\"/></a:graphicData></a:graphic></wp:inline>"
        "</w:drawing></w:r>";
    const std::string rels =
        "<Relationship Id=\"rIdPic\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
        "relationships/image\" Target=\"media/p.png\"/>";
    // Ten tables, each inside the only cell of the one before.
    std::string deep;
    for (int level = 10; level >= 1; --level)
        deep = "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>d" + std::to_string(level) +
               "</w:t></w:r></w:p>" + deep + "</w:tc></w:tr></w:tbl>";
    const std::string body = "<w:tbl><w:tr>" + docxCell("left") +
                             "<w:tc><w:p><w:r><w:t>before</w:t></w:r></w:p><w:tbl><w:tr>" +
                             docxCell("x") + "<w:tc><w:p>" + picture +
                             "<w:r><w:t>y</w:t></w:r></w:p></w:tc></w:tr><w:tr>" +
                             docxCell("z", "<w:gridSpan w:val=\"2\"/>") +
                             "</w:tr></w:tbl><w:p><w:r><w:t>after</w:t></w:r></w:p></w:tc></w:tr>"
                             // A table that ends its row, its own last cell empty.
                             "<w:tr>" +
                             docxCell("m") + "<w:tc><w:tbl><w:tr>" + docxCell("n1") + docxCell("") +
                             "</w:tr></w:tbl></w:tc></w:tr></w:tbl>" + deep;
    const auto package = makeDOCX(body, "", rels, {{"word/media/p.png", png}});
    const RichText text = readDOCX(package);
    EXPECT_EQ(text.string(), "left\tbefore x\ty z  after\nm\tn1\nd1 d2 d3 d4 d5 d6 d7 d8 d9 "
                             "d10\n");
    EXPECT_EQ(readDOCX(package, 1), text);
    const std::string html = writeHTML(text, "t");
    const std::string tables = tableMarkup(html);
    EXPECT_EQ(tables.substr(0, tables.find("</table>\n<table>") + 9),
              "<table>\n"
              "<tr><td>left</td><td>before <table>\n"
              "<tr><td>x</td><td><img src=\"data:image/png;base64,iVBORw0KGgpyZXN0\" "
              "alt=\"\">y</td></tr>\n"
              "<tr><td colspan=\"2\">z</td></tr>\n"
              "</table>\n  after</td></tr>\n"
              "<tr><td>m</td><td><table>\n<tr><td>n1</td><td></td></tr>\n</table>\n</td></tr>\n"
              "</table>\n")
        << html;
    // The deep chain: the top table and eight inside it; the last two stay text of the eighth.
    const std::string chain = tables.substr(tables.find("</table>\n<table>") + 9);
    std::size_t opened = 0;
    for (std::size_t at = 0; (at = chain.find("<table>", at)) != std::string::npos; ++at)
        ++opened;
    EXPECT_EQ(opened, 9u) << chain;
    EXPECT_NE(chain.find("<td>d9 d10"), std::string::npos) << chain;
    EXPECT_GT(chain.find("d10"), chain.rfind("<table>"));
}

TEST(DOCXReader, ColumnWidthsBecomeSharesOfTheirTable) {
    const auto grid = [](std::vector<int> twips) {
        std::string xml = "<w:tblGrid>";
        for (const int w : twips)
            xml += "<w:gridCol w:w=\"" + std::to_string(w) + "\"/>";
        return xml + "</w:tblGrid>";
    };
    const std::string body =
        // A grid a third of the text wide; a row that starts one column in.
        "<w:tbl>" + grid({1000, 2120}) + "<w:tr>" + docxCell("a") + docxCell("b") +
        "</w:tr><w:tr><w:trPr><w:gridBefore w:val=\"1\"/></w:trPr>" + docxCell("c") +
        "</w:tr><w:tr>" + docxCell("d", "<w:gridSpan w:val=\"2\"/>") +
        "</w:tr></w:tbl>"
        // Percentages as Word writes them (fiftieths) and as written; the inner table fills its
        // cell less the cell's margins.
        "<w:tbl><w:tblPr><w:tblW w:w=\"5000\" w:type=\"pct\"/></w:tblPr>" +
        grid({3000}) +
        "<w:tr><w:tc><w:tbl><w:tblPr><w:tblW w:w=\"50%\" w:type=\"pct\"/></w:tblPr>" + grid({1}) +
        "<w:tr>" + docxCell("e") + "</w:tr></w:tbl><w:tbl>" + grid({1392, 1392}) + "<w:tr>" +
        docxCell("f") + docxCell("g") +
        "</w:tr></w:tbl></w:tc></w:tr></w:tbl>"
        // A column without a width: the table is laid out by its content alone.
        "<w:tbl>" +
        grid({1000, 0}) + "<w:tr>" + docxCell("h") + docxCell("i") +
        "</w:tr></w:tbl>"
        // A sliver of a column is written in a notation CSS reads.
        "<w:tbl>" +
        grid({1, 999'999, 999'999}) + "<w:tr>" + docxCell("j") + docxCell("k") + docxCell("l") +
        "</w:tr></w:tbl>";
    const RichText text = readDOCX(makeDOCX(body));
    ASSERT_EQ(text.tables().size(), 4u);
    EXPECT_EQ(text.tables()[0].columnWidths, (std::vector<double>{1000, 2120}));
    std::string html = writeHTML(text, "t");
    html = std::regex_replace(html, std::regex("border-collapse[^\"]*|padding:2px 6px;[^\"]*"), "");
    html = html.substr(html.find("<table"));
    EXPECT_EQ(html.substr(0, html.find("</body>")),
              "<table style=\"width:33.33%;\">\n"
              "<tr><td style=\"width:32.05%;\">a</td><td style=\"width:67.95%;\">b</td></tr>\n"
              "<tr><td colspan=\"1\" style=\"padding:0\"></td><td style=\"width:67.95%;\">c</td>"
              "</tr>\n"
              "<tr><td colspan=\"2\" style=\"width:100%;\">d</td></tr>\n"
              "</table>\n"
              "<table style=\"width:100%;\">\n"
              "<tr><td style=\"width:100%;\"><table style=\"width:50%;\">\n"
              "<tr><td style=\"width:100%;\">e</td></tr>\n</table>\n"
              "  <table style=\"width:100%;\">\n"
              "<tr><td style=\"width:50%;\">f</td><td style=\"width:50%;\">g</td></tr>\n"
              "</table>\n</td></tr>\n"
              "</table>\n"
              "<table style=\"\">\n"
              "<tr><td style=\"\">h</td><td style=\"\">i</td></tr>\n"
              "</table>\n"
              "<table style=\"width:100%;\">\n"
              "<tr><td style=\"width:0.01%;\">j</td><td style=\"width:50%;\">k</td>"
              "<td style=\"width:50%;\">l</td></tr>\n"
              "</table>\n");
}

// The main part is parsed a piece of its body at a time; cutting before every body child must read
// the same text and runs, and damage anywhere must fail as it does in a whole parse.
TEST(DOCXReader, ReadingInPiecesEqualsReadingTheWhole) {
    const std::string styles =
        "<w:style w:type=\"paragraph\" w:styleId=\"Heading1\"><w:name w:val=\"heading 1\"/>"
        "</w:style><w:style w:type=\"character\" w:styleId=\"Code\"><w:rPr>"
        "<w:rFonts w:ascii=\"Courier New\"/></w:rPr></w:style>";
    const std::string rels =
        "<Relationship Id=\"rId9\" Type=\"http://schemas.openxmlformats.org/officeDocument/"
        "2006/relationships/hyperlink\" Target=\"https://example.org/\"/>";
    const std::string body =
        "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr><w:r><w:t>Title</w:t></w:r></w:p>"
        "<!-- a comment > with brackets --><?pi x?>"
        "<w:p><w:r><w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">bold </w:t></w:r>"
        "<w:r><w:fldChar w:fldCharType=\"begin\"/></w:r><w:r><w:instrText> HYPERLINK "
        "\"http://f.org/?a=1&amp;b=&gt;\" </w:instrText></w:r></w:p>"
        "<w:p w:rsidR=\"a>b\"><w:r><w:fldChar w:fldCharType=\"separate\"/></w:r><w:r>"
        "<w:t>field across paragraphs</w:t></w:r><w:r><w:fldChar w:fldCharType=\"end\"/></w:r>"
        "<w:hyperlink r:id=\"rId9\"><w:r><w:t>link</w:t></w:r></w:hyperlink></w:p>"
        "<w:sdt><w:sdtContent><w:p><w:r><w:rPr><w:rStyle w:val=\"Code\"/></w:rPr>"
        "<w:t>code</w:t></w:r></w:p></w:sdtContent></w:sdt>"
        "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>a</w:t></w:r></w:p></w:tc><w:tc><w:p><w:r><w:t>b"
        "</w:t></w:r></w:p></w:tc></w:tr></w:tbl><w:p/><w:p><w:r><w:t>caf\u00e9 &#x1F600;</w:t>"
        "</w:r></w:p><w:sectPr/>";
    const auto package = makeDOCX(body, styles, rels);
    const RichText whole = readDOCX(package);
    ASSERT_NE(whole.string().find("field across paragraphs"), std::string::npos);
    EXPECT_EQ(runWith(whole, "field across").attributes.link, "http://f.org/?a=1&b=>");
    for (std::size_t pieceBytes : {1, 40, 200})
        expectSameRichText(readDOCX(package, pieceBytes), whole);

    // A broken element in a later piece, or a part cut short, fails the whole read.
    const std::string broken = body;
    expectCorrupt([&] { (void)readDOCX(makeDOCX("<w:p/>" + broken + "<w:p><w:r></w:p>"), 1); },
                  "is not well-formed XML");
    std::vector<ArchiveConverter::ZipEntry> entries;
    entries.push_back({.name = "word/document.xml",
                       .data = "<w:document xmlns:w=\"http://schemas.openxmlformats.org/"
                               "wordprocessingml/2006/main\"><w:body><w:p/><w:p/></w:body>",
                       .method = ArchiveConverter::ZipMethod::deflated,
                       .modified = 0});
    expectCorrupt([&] { (void)readDOCX(ArchiveConverter::buildZIP(entries), 1); },
                  "is not well-formed XML");
}

TEST(DOCXReader, HostilePackagesFailCleanly) {
    expectCorrupt([] { (void)readDOCX(ArchiveConverter::asBytes("not a zip at all")); },
                  "Invalid ZIP");
    expectCorrupt(
        [] {
            const ArchiveConverter::ZipEntry other{.name = "x.txt",
                                                   .data = "x",
                                                   .method = ArchiveConverter::ZipMethod::stored,
                                                   .modified = 0};
            (void)readDOCX(ArchiveConverter::buildZIP(std::span(&other, 1)));
        },
        "no main document part");
    expectCorrupt([] { (void)readDOCX(makeDOCX("<w:p><w:r><w:t>unclosed</w:r></w:p>")); },
                  "not well-formed XML");
    std::string deep;
    for (int i = 0; i < 400; ++i)
        deep += "<w:sdt><w:sdtContent>";
    for (int i = 0; i < 400; ++i)
        deep += "</w:sdtContent></w:sdt>";
    expectCorrupt([&] { (void)readDOCX(makeDOCX(deep)); }, "nested more than 256");

    // Entity declarations are never expanded: a billion laughs stays one literal reference.
    const std::string laughs =
        "<!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>";
    std::vector<ArchiveConverter::ZipEntry> entries{
        {.name = "word/document.xml",
         .data = "<?xml version=\"1.0\"?>" + laughs +
                 "<w:document "
                 "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/"
                 "main\"><w:body><w:p>"
                 "<w:r><w:t>x&c;y</w:t></w:r></w:p></w:body></w:document>",
         .method = ArchiveConverter::ZipMethod::deflated,
         .modified = 0}};
    const RichText text = readDOCX(ArchiveConverter::buildZIP(entries));
    EXPECT_LT(text.length(), 20u) << text.string();
}

TEST(DOCXReader, EveryTruncationFailsCleanly) {
    RichText source;
    source.append("Some text \u00e9\n", TextAttributes{});
    const auto bytes = writeDOCX(source);
    for (std::size_t n = 0; n < bytes.size(); n += 7) {
        try {
            (void)readDOCX(std::span(bytes).first(n));
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile) << n;
        }
    }
}

TEST(HTMLReader, StructureToSizesTraitsAndText) {
    const RichText text = readHTML(
        "<html><head><title>T</title><style>p{}</style><script>var x=1;</script></head><body>"
        "<h1>One</h1><h2>Two</h2><h3>Three</h3><h4>Four</h4>"
        "<p>Some   <b>bold</b>\n<em>em</em> <strong><i>both</i></strong> <code>co de</code> "
        "<kbd>k</kbd> "
        "<a href=\" https://example.org/a?b=1&amp;c=2 \">link</a> &eacute;&#x1F600;&lt;</p><!-- "
        "hidden -->"
        "<p>line<br>break</p><ul><li>apple</li><li>pear</li></ul><ol "
        "start=\"3\"><li>three</li><li>four</li></ol>"
        "<blockquote>quoted</blockquote><pre>  a\n  b</pre>"
        "<table><tr><th>h1</th><th>h2</th></tr><tr><td><p>x</p><p>y</p></td><td>z</td></tr></table>"
        "<p><span style=\"font-size:18pt;font-weight:bold\">styled</span></p></body></html>");
    EXPECT_EQ(
        text.string(),
        "One\nTwo\nThree\nFour\nSome bold em both co de k link \u00e9\U0001F600<\nline\nbreak\n"
        "\u2022 apple\n\u2022 pear\n3. three\n4. four\nquoted\n  a\n  b\nh1\th2\nx y\tz\nstyled\n");
    EXPECT_EQ(runWith(text, "One").attributes.pointSize, 24);
    EXPECT_EQ(runWith(text, "Two").attributes.pointSize, 18);
    EXPECT_EQ(runWith(text, "Three").attributes.pointSize, 14);
    EXPECT_TRUE(runWith(text, "Three").attributes.bold);
    EXPECT_TRUE(runWith(text, "bold").attributes.bold);
    EXPECT_TRUE(runWith(text, "em").attributes.italic);
    EXPECT_TRUE(runWith(text, "co de").attributes.monospace);
    EXPECT_TRUE(runWith(text, "  a").attributes.monospace);
    EXPECT_EQ(runWith(text, "link").attributes.link, "https://example.org/a?b=1&c=2");
    EXPECT_EQ(runWith(text, "styled").attributes.pointSize, 18);
    EXPECT_TRUE(runWith(text, "styled").attributes.bold);
    EXPECT_EQ(text.string().find("var x"), std::string::npos);
    EXPECT_EQ(text.string().find("hidden"), std::string::npos);
}

TEST(HTMLReader, CharsetFromMetaElseUTF8ElseLatin1) {
    EXPECT_EQ(decodeHTMLBytes("<meta charset=\"windows-1251\"><p>\xcf\xf0\xe8"),
              "<meta charset=\"windows-1251\"><p>\u041f\u0440\u0438");
    EXPECT_EQ(decodeHTMLBytes("<meta http-equiv=\"Content-Type\" content=\"text/html; "
                              "charset=ISO-8859-1\">\x93q\x94"),
              "<meta http-equiv=\"Content-Type\" content=\"text/html; "
              "charset=ISO-8859-1\">\u201cq\u201d");
    EXPECT_EQ(decodeHTMLBytes("<p>caf\xc3\xa9"), "<p>caf\u00e9");
    EXPECT_EQ(decodeHTMLBytes("<p>caf\xe9"), "<p>caf\u00e9");
    EXPECT_EQ(decodeHTMLBytes("\xEF\xBB\xBFok"), "ok");
}

TEST(HTMLReader, DeepNestingIsRefusedBeforeTheParserSpendsMinutesOnIt) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<div>";
    expectCorrupt([&] { (void)readHTML(deep + "x"); }, "nested more than 1024 levels deep");
    std::string flood;
    for (int i = 0; i < 20000; ++i)
        flood += "<b><i>y";
    expectCorrupt([&] { (void)readHTML(flood); }, "nested more than 1024 levels deep");
    // Closed, void and self-closing elements, comments, scripts and the tags the parser closes by
    // itself do not count.
    std::string wide =
        "<script>" + std::string(3000, '<') + "div></script><!--" + std::string(3000, '<') + "-->";
    for (int i = 0; i < 3000; ++i)
        wide += "<div><p>a<br><img src=x><li>b<td>c</div><span/>";
    EXPECT_EQ(readHTML(wide).string().substr(0, 9), "a\nbc\na\nbc");
    std::string nested;
    for (int i = 0; i < 1000; ++i)
        nested += "<div>";
    EXPECT_EQ(readHTML(nested + "x").string(), "x\n");
}

// A long page is parsed in pieces; cutting wherever the reader may must not change what it reads:
// formatting left open, lists, tables, the body's style and the parsing mode carry over.
TEST(HTMLReader, ReadingInPiecesEqualsReadingTheWhole) {
    const std::string page =
        "<!DOCTYPE html><html><head><title>t</title><style>p{}</style></head>"
        "<body style=\"font-size:20px\">\n<h1>Title</h1>\n<p>one <b>bold across\n"
        "<p>still bold</b> plain\n<p>two <a href=\"https://example.org/x\">link <i>it</a> "
        "after</i></p>\n<div>a <span>open span\n<div>inside span</div></div>\n<p>tail</span> "
        "x</p>\n<ol><li>first<p>para in item</p><li>second</ol>\n<p>before table<table><tr>"
        "<td>c1<td>c2</table>\n<pre>  keep\n   spaces</pre>\n<div/>text in open div<p>p in "
        "div</p></div>\n<ul><li>u1</ul><p>between</p><blockquote>q <em>e</em></blockquote>\n"
        "loose body text <h2>H2</h2><hr><h3>H3</h3><p>caf&eacute; &#x1F600;</p></body></html>";
    const RichText whole = readHTML(page);
    ASSERT_NE(whole.string().find("inside span"), std::string::npos);
    for (std::size_t pieceBytes : {1, 16, 64, 200})
        expectSameRichText(readHTML(page, pieceBytes), whole);
    // Quirks mode (no doctype) puts a table inside an open paragraph; pieces keep the mode too.
    const std::string quirks = "<p style=\"font-weight:bold\">a<table><tr><td>cell</table>"
                               "<p>b</p><h2>c</h2><p>d";
    expectSameRichText(readHTML(quirks, 1), readHTML(quirks));
    EXPECT_TRUE(runWith(readHTML(quirks, 1), "cell").attributes.bold);
}

// Each writer's output read back by our reader of the same format keeps text and marks.
TEST(RichTextWriters, RoundTripThroughOurOwnReaders) {
    RichText source;
    source.append("Heading \u00e9\n", [] {
        TextAttributes a;
        a.pointSize = 24;
        a.bold = true;
        return a;
    }());
    source.append("Plain {braces} \\ \u6f22\u5b57 \U0001F600 ", TextAttributes{});
    source.append("bold", [] {
        TextAttributes a;
        a.bold = true;
        return a;
    }());
    source.append(" ", TextAttributes{});
    source.append("code\tx", [] {
        TextAttributes a;
        a.monospace = true;
        return a;
    }());
    source.append(" ", TextAttributes{});
    source.append("link", [] {
        TextAttributes a;
        a.link = "https://example.org/?a=1&b=2";
        return a;
    }());
    source.append("\nsmall & <tags>\n", [] {
        TextAttributes a;
        a.pointSize = 9;
        a.italic = true;
        return a;
    }());
    const std::string markdown = DocumentConverter::attributedStringToMarkdown(source);

    const RichText fromRTF = readRTF(writeRTF(source));
    const RichText fromDOCX = readDOCX(writeDOCX(source));
    const RichText fromHTML = readHTML(writeHTML(source, "t"));
    for (const RichText* back : {&fromRTF, &fromDOCX, &fromHTML}) {
        EXPECT_EQ(back->string(), source.string());
        EXPECT_EQ(DocumentConverter::attributedStringToMarkdown(*back), markdown);
        EXPECT_DOUBLE_EQ(runWith(*back, "small").attributes.pointSize * 12 / bodyPointSize(*back),
                         9);
    }
}

// Pieces are cut only where the parser itself sees a block start tag: not at a custom element
// whose name begins like one, inside a quoted attribute, a bogus comment or an empty comment.
TEST(HTMLReader, PiecesAreCutOnlyAtTagsTheParserSees) {
    const std::string cases[] = {
        std::string("text <ul\0>c <p>after", 21),
        "<b>bold <ul-x>custom</ul-x> still bold</b><p>plain",
        "<a title=\"x><p>y\">link text</a> more<p>next",
        "<i>a <!x <p> > b</i><p>c",
        "<i>a <?x <p> > b</i><p>c",
        "<i>a </ <p> > b</i><p>c",
        "<i>a <!--> <b>b</b> <!---> c</i><p>d",
        "<script>var s = '</scripts><p>';</script><p>x<p>y",
        // Misnested end tags: the table stays open, the bold is reopened after the div.
        "<b><u><table></b><ul><li>in table?</ul><p>after",
        "<div><b>x</div><p>bold again<p>still",
        // A doctype after text is ignored: the page stays in quirks mode, its pieces too.
        "text <!DOCTYPE html><p>S<table><tr><td>cell</table>",
        "<!-- c --> <!DOCTYPE html><p>S<table><tr><td>cell</table>",
    };
    for (const std::string& page : cases) {
        const RichText whole = readHTML(page);
        for (std::size_t pieceBytes : {1, 4, 16})
            expectSameRichText(readHTML(page, pieceBytes), whole);
    }
}

} // namespace
} // namespace kv
