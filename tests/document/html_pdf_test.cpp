// HTML and tables on PDF pages: the page cutting and resource rules in-process, and the whole
// path through the kelvane binary read back by poppler's tools (text, page sizes, pixels).
#include "archive/zip_writer.h"
#include "document/document_converter.h"
#include "document/pdf/html_pdf.h"
#include "document/pdf/pdf_conversions.h"
#include "document/richtext/html_writer.h"
#include "engine/conversion_error.h"
#include "image/image_codec.h"
#include "support/test_support.h"

#include <array>
#include <chrono>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <regex>

namespace kv {
namespace {

using DocumentConverter::PageSlice;
using test::runKelvane;
using test::runProgram;
using test::TempDir;
using test::writeFile;

constexpr std::string_view kStyle = "<style>html,body{background:#ffffff !important;color-scheme:"
                                    "only light;color:#1a1a1a;}</style>";

TEST(LightPage, StyleFollowsEveryHeadTagOrWrapsTheText) {
    using DocumentConverter::withLightPage;
    EXPECT_EQ(withLightPage("<p>x</p>"), "<!doctype html><html><head>" + std::string(kStyle) +
                                             "</head><body><p>x</p></body></html>");
    EXPECT_EQ(withLightPage("<html><HEAD lang=\"en\"><title>t</title></HEAD><body>b</body>"),
              "<html><HEAD lang=\"en\">" + std::string(kStyle) +
                  "<title>t</title></HEAD><body>b</body>");
    // Every opening tag that starts with "<head" gains the style, "<header" included.
    EXPECT_EQ(withLightPage("<head></head><header>h</header>"),
              "<head>" + std::string(kStyle) + "</head><header>" + std::string(kStyle) +
                  "h</header>");
    // "<head" without a closing ">" is left as it is.
    EXPECT_EQ(withLightPage("text <head"), "text <head");
}

std::vector<std::pair<int, int>> asPairs(const std::vector<PageSlice>& slices) {
    std::vector<std::pair<int, int>> out;
    for (const auto& slice : slices)
        out.emplace_back(slice.top, slice.rows);
    return out;
}

TEST(PageSlices, FullPagesThenTheRest) {
    using DocumentConverter::pageSlices;
    using P = std::vector<std::pair<int, int>>;
    EXPECT_EQ(asPairs(pageSlices(2500, {})), (P{{0, 1056}, {1056, 1056}, {2112, 388}}));
    EXPECT_EQ(asPairs(pageSlices(1056, {})), (P{{0, 1056}}));
    EXPECT_EQ(asPairs(pageSlices(1057, {})), (P{{0, 1056}})); // a one-row sliver is skipped
    EXPECT_EQ(asPairs(pageSlices(1058, {})), (P{{0, 1056}, {1056, 2}}));
    EXPECT_TRUE(pageSlices(0, {}).empty());
    EXPECT_TRUE(pageSlices(1, {}).empty());
    EXPECT_EQ(asPairs(pageSlices(20, {})), (P{{0, 20}}));
}

TEST(PageSlices, EdgesMoveAboveSplitLines) {
    using DocumentConverter::pageSlices;
    using P = std::vector<std::pair<int, int>>;
    // A line across the first edge starts the second page; one ending on the edge stays.
    EXPECT_EQ(asPairs(pageSlices(2000, {{1040, 1060}, {1016, 1036}})), (P{{0, 1040}, {1040, 960}}));
    // Moving the edge onto another line moves it again, above both.
    EXPECT_EQ(asPairs(pageSlices(2000, {{1045, 1065}, {1030, 1050}})), (P{{0, 1030}, {1030, 970}}));
    // A picture taller than a page is cut where the page ends; a line at the page's own top
    // cannot move the edge to the top.
    EXPECT_EQ(asPairs(pageSlices(3000, {{10, 1500}, {0, 1100}})),
              (P{{0, 1056}, {1056, 1056}, {2112, 888}}));
    // Every row is on exactly one page, whatever the bands.
    std::vector<platform::HtmlBand> lines;
    for (int top = 3; top < 9000; top += 37)
        lines.push_back({top, top + 30});
    const auto slices = pageSlices(9000, lines);
    int next = 0;
    for (const auto& slice : slices) {
        EXPECT_EQ(slice.top, next);
        EXPECT_LE(slice.rows, 1056);
        for (const auto& line : lines)
            EXPECT_FALSE(line.top < slice.top + slice.rows &&
                         line.bottom > slice.top + slice.rows && slice.top + slice.rows < 9000)
                << "line at " << line.top << " cut by the edge at " << slice.top + slice.rows;
        next = slice.top + slice.rows;
    }
    EXPECT_EQ(next, 9000);
}

TEST(PageSlices, ALongTableIsCutInOnePassOverItsBands) {
    // 2.5 million cells in rows 25 pixels apart (five a row, ~12,000 pages, every page edge
    // inside a row): each page looks only at its own bands, so this takes milliseconds; looking
    // at every band from the top again for every page took many seconds.
    using DocumentConverter::pageSlices;
    std::vector<platform::HtmlBand> cells;
    const int rows = 500'000;
    for (int row = 0; row < rows; ++row)
        for (int cell = 0; cell < 5; ++cell)
            cells.push_back({row * 25, row * 25 + 24});
    const auto start = std::chrono::steady_clock::now();
    const auto slices = pageSlices(rows * 25, cells);
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 3.0);
    ASSERT_FALSE(slices.empty());
    // 42 whole rows a page (1056 would cut the 43rd), every edge on a row's top.
    EXPECT_EQ(slices.front().rows, 42 * 25);
    for (const auto& slice : slices)
        EXPECT_EQ(slice.top % 25, 0) << slice.top;
    EXPECT_EQ(slices.back().top + slices.back().rows, rows * 25);
}

TEST(PageSlices, OverlappingRowsAndLinesDoNotClimbToThePageTop) {
    using DocumentConverter::pageSlices;
    // Rows of a collapsed table share their 1-pixel border; lines set at line-height 1 overlap
    // their neighbours' glyph boxes by a few pixels. Pages stay nearly full either way.
    for (const auto& [pitch, tall] : {std::pair{37, 38}, std::pair{16, 19}}) {
        std::vector<platform::HtmlBand> bands;
        for (int top = 10; top + tall < 6000; top += pitch)
            bands.push_back({top, top + tall});
        const auto slices = pageSlices(6000, bands);
        ASSERT_LE(slices.size(), 7u) << "pitch " << pitch;
        for (std::size_t i = 0; i + 1 < slices.size(); ++i) {
            EXPECT_GT(slices[i].rows, 1056 - tall) << "pitch " << pitch << " page " << i;
            const int edge = slices[i].top + slices[i].rows;
            EXPECT_TRUE(std::any_of(bands.begin(), bands.end(),
                                    [&](const auto& band) { return band.top == edge; }))
                << "edge " << edge << " is not where a row or line starts";
        }
    }
    // A picture overlapping the line below by more than its own bottom quarter still moves.
    using P = std::vector<std::pair<int, int>>;
    EXPECT_EQ(asPairs(pageSlices(2000, {{1000, 1040}, {1030, 1070}})),
              (P{{0, 1000}, {1000, 1000}}));
}

TEST(LocalResource, OnlyFilesInsideTheFolder) {
    using DocumentConverter::localResource;
    TempDir dir;
    const auto folder = dir / "doc";
    writeFile(folder / "pics" / "a b.png", "x");
    writeFile(dir / "outside.png", "x");
    std::filesystem::create_symlink(dir / "outside.png", folder / "link.png");
    const auto inside = std::filesystem::canonical(folder / "pics" / "a b.png");
    EXPECT_EQ(localResource(folder, "pics/a%20b.png?v=2#top"), inside);
    EXPECT_EQ(localResource(folder, "./pics/../pics/a b.png"), inside);
    EXPECT_EQ(localResource(folder, inside.string()), inside);
    EXPECT_EQ(localResource(folder, "file://" + inside.string()), inside);
    for (const std::string& reference : std::vector<std::string>{
             "../outside.png", "pics/../../outside.png", (dir / "outside.png").string(),
             "file://" + (dir / "outside.png").string(), "link.png", "http://example.com/a.png",
             "data:image/png;base64,AAAA", "//example.com/a.png", "missing.png", "pics", ""})
        EXPECT_EQ(localResource(folder, reference), std::nullopt) << reference;
}

TEST(VisibleText, OnlyTheBodysTextCounts) {
    using DocumentConverter::hasVisibleText;
    // The exporter's page of an empty document still has a title and a style sheet.
    EXPECT_FALSE(hasVisibleText(richtext::writeHTML(richtext::RichText(), "Quarterly report")));
    richtext::RichText blank;
    blank.append("\u00a0 \t\n\u3000\n", {});
    EXPECT_FALSE(hasVisibleText(richtext::writeHTML(blank, "t")));
    EXPECT_FALSE(hasVisibleText("<html><head><title>T</title></head><body><!-- <p>x</p> -->"
                                "<script>var a = 1;</script><p>&nbsp; <br></p></body></html>"));
    EXPECT_FALSE(hasVisibleText(""));
    richtext::RichText word;
    word.append("\u00a0x\n", {});
    EXPECT_TRUE(hasVisibleText(richtext::writeHTML(word, "t")));
    EXPECT_TRUE(hasVisibleText("<p>&amp;</p>"));
    EXPECT_TRUE(hasVisibleText("<body><styled>s</styled></body>")); // not a style element
    EXPECT_TRUE(hasVisibleText("no tags at all"));
}

TEST(RenderHTML, CancelledBeforeTheFirstPageWritesNothing) {
    TempDir dir;
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(DocumentConverter::renderHTMLToPDF("<p>hello</p>", std::nullopt, dir / "x.pdf",
                                                    stop.get_token()),
                 ConversionError);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// An RGB raster of one page rendered at 96 dpi, so one pixel per layout pixel.
struct Raster {
    int width = 0;
    int height = 0;
    std::string rgb;
    std::array<int, 3> at(int x, int y) const {
        const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) +
                        (static_cast<std::size_t>(y) * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
    int count(const std::function<bool(std::array<int, 3>)>& match) const {
        int n = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                n += match(at(x, y)) ? 1 : 0;
        return n;
    }
};

bool isRed(std::array<int, 3> c) {
    return c[0] > 200 && c[1] < 60 && c[2] < 60;
}
bool isBlue(std::array<int, 3> c) {
    return c[0] < 60 && c[1] < 60 && c[2] > 200;
}
bool isWhite(std::array<int, 3> c) {
    return c[0] > 250 && c[1] > 250 && c[2] > 250;
}

class HTMLToPDF : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::haveTool("pdftotext") || !test::haveTool("pdftoppm"))
            GTEST_SKIP() << "poppler-utils is not installed";
        std::filesystem::create_directories(m_out);
    }
    std::filesystem::path convert(const std::filesystem::path& source) {
        return test::convertWithKelvane(source, "pdf", m_out);
    }
    std::string tool(const std::vector<std::string>& argv) {
        const auto result = runProgram(argv);
        EXPECT_EQ(result.exitCode, 0) << argv[0] << ": " << result.err;
        return result.out;
    }
    // "612 x 792" for each page, in order.
    std::vector<std::string> pageSizes(const std::filesystem::path& pdf) {
        const std::string info = tool({"pdfinfo", "-f", "1", "-l", "10000", pdf.string()});
        std::vector<std::string> sizes;
        const std::regex size("Page +\\d+ size: +([0-9.]+ x [0-9.]+) pts");
        for (auto it = std::sregex_iterator(info.begin(), info.end(), size);
             it != std::sregex_iterator(); ++it)
            sizes.push_back((*it)[1]);
        return sizes;
    }
    Raster raster(const std::filesystem::path& pdf, int page) {
        const auto stem = m_dir / ("page" + std::to_string(page));
        tool({"pdftoppm", "-r", "96", "-f", std::to_string(page), "-l", std::to_string(page),
              "-singlefile", pdf.string(), stem.string()});
        const std::string ppm = test::readFile(stem.string() + ".ppm");
        Raster r;
        std::size_t at = 0;
        const auto next = [&] {
            while (at < ppm.size() && std::isspace(static_cast<unsigned char>(ppm[at])))
                ++at;
            const std::size_t start = at;
            while (at < ppm.size() && !std::isspace(static_cast<unsigned char>(ppm[at])))
                ++at;
            return ppm.substr(start, at - start);
        };
        EXPECT_EQ(next(), "P6");
        r.width = std::stoi(next());
        r.height = std::stoi(next());
        next(); // 255
        r.rgb = ppm.substr(at + 1);
        EXPECT_EQ(r.rgb.size(), static_cast<std::size_t>(r.width) * r.height * 3);
        return r;
    }
    void writePicture(const std::filesystem::path& file, int width, int height) {
        std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
        for (std::size_t i = 0; i < rgba.size(); i += 4) {
            rgba[i + 2] = 255; // blue
            rgba[i + 3] = 255;
        }
        std::filesystem::create_directories(file.parent_path());
        image::encodeImage(image::Image::fromRgba8(rgba, width, height), file, {});
    }

    TempDir m_dir;
    std::filesystem::path m_out = m_dir / "out";
};

TEST_F(HTMLToPDF, ContentHeightGivesLetterSlicesAndAShortLastPage) {
    writeFile(m_dir / "tall.html", "<html><head></head><body style=\"margin:0\"><div "
                                   "style=\"height:2500px\"></div></body></html>");
    EXPECT_EQ(pageSizes(convert(m_dir / "tall.html")),
              (std::vector<std::string>{"612 x 792", "612 x 792", "612 x 291"}));
}

TEST_F(HTMLToPDF, EveryLineOnceAndInOrderAcrossPages) {
    std::string html = "<h1>Numbered</h1>";
    for (int i = 1; i <= 500; ++i) {
        html += "<p>Line " + std::to_string(i) + " ";
        for (int w = 0; w < (i * 7) % 31; ++w)
            html += "word ";
        html += "end" + std::to_string(i) + "</p>\n";
    }
    writeFile(m_dir / "lines.html", html);
    const auto pdf = convert(m_dir / "lines.html");
    const auto sizes = pageSizes(pdf);
    ASSERT_GT(sizes.size(), 10u);
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
        EXPECT_EQ(sizes[i], "612 x 792") << "page " << i + 1;
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    std::size_t at = 0;
    for (int i = 1; i <= 500; ++i) {
        const std::string end = "end" + std::to_string(i) + "\n";
        const std::size_t found = text.find(end, at);
        ASSERT_NE(found, std::string::npos) << "line " << i << " lost or out of order";
        EXPECT_EQ(text.find(end, found + 1), std::string::npos) << "line " << i << " twice";
        at = found;
    }
}

TEST_F(HTMLToPDF, TightLinesAndCollapsedTablesFillTheirPagesAndReadOnce) {
    std::string words;
    for (int i = 1; i <= 2500; ++i)
        words += "w" + std::to_string(i) + " ";
    std::string rows;
    for (int i = 1; i <= 150; ++i)
        rows += "<tr><td>row" + std::to_string(i) + "</td><td>x</td></tr>";
    writeFile(m_dir / "tight.html",
              "<html><head><style>p{line-height:1}table{border-collapse:collapse}"
              "td{border:1px solid #ddd;padding:8px}</style></head><body><p>" +
                  words + "</p><table>" + rows + "</table></body></html>");
    const auto pdf = convert(m_dir / "tight.html");
    // About 4 pages of text and 5 of table at 38 px a row: a page per line or row would be 200+.
    EXPECT_LE(pageSizes(pdf).size(), 12u);
    std::string text = " " + tool({"pdftotext", pdf.string(), "-"});
    for (char& c : text)
        c = c == '\n' || c == '\f' ? ' ' : c;
    std::size_t at = 0;
    const auto once = [&](const std::string& word) {
        const std::size_t found = text.find(word, at);
        ASSERT_NE(found, std::string::npos) << word << "lost or out of order";
        EXPECT_EQ(text.find(word, found + 1), std::string::npos) << word << "twice";
        at = found;
    };
    for (int i = 1; i <= 2500; ++i)
        once(" w" + std::to_string(i) + " ");
    for (int i = 1; i <= 150; ++i)
        once(" row" + std::to_string(i) + " ");
}

TEST_F(HTMLToPDF, DarkPagesComeOutWhiteWithBordersAndPicturesWhereWritten) {
    writePicture(m_dir / "doc" / "pics" / "blue.png", 100, 50);
    writeFile(m_dir / "doc" / "page.html",
              "<html><head><style>body{background:#000;color:#fff;margin:0}</style></head><body>"
              "<div style=\"height:200px;padding-left:100px\">Dark page</div>"
              "<table style=\"border:6px solid #ff0000\"><tr><td>cell</td></tr></table>"
              "<div style=\"position:absolute;left:400px;top:600px\">"
              "<img src=\"pics/blue.png\" width=\"100\" height=\"50\"></div></body></html>");
    const auto pdf = convert(m_dir / "doc" / "page.html");
    const Raster page = raster(pdf, 1);
    ASSERT_EQ(page.width, 816);
    const int bottom = page.height - 3;
    for (const auto& [x, y] : {std::pair{2, 2}, {813, 2}, {2, bottom}, {813, bottom}})
        EXPECT_TRUE(isWhite(page.at(x, y))) << x << "," << y;
    // The table's red border starts below the 200-pixel block, at the left margin.
    EXPECT_GT(page.count(isRed), 200);
    EXPECT_TRUE(isRed(page.at(2, 203))) << page.at(2, 203)[0];
    int redAbove = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < page.width; ++x)
            redAbove += isRed(page.at(x, y)) ? 1 : 0;
    EXPECT_EQ(redAbove, 0);
    // The picture fills its 100 × 50 box at (400, 600).
    EXPECT_TRUE(isBlue(page.at(450, 625)));
    EXPECT_TRUE(isBlue(page.at(402, 602)));
    EXPECT_FALSE(isBlue(page.at(450, 660)));
    EXPECT_NEAR(page.count(isBlue), 5000, 400);
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    EXPECT_NE(text.find("Dark page"), std::string::npos);
    EXPECT_NE(text.find("cell"), std::string::npos);
}

TEST_F(HTMLToPDF, ThemedPagesKeepTheirColoursAndNothingTurnsBlack) {
    // A theme in custom properties and hsl() colours, chosen by the root's class, as documentation
    // generators write it; "Skip to content" sits in the page's corner.
    writeFile(m_dir / "doc" / "css" / "vars.css",
              ".light { --bg: hsl(0, 0%, 100%); --fg: hsl(0, 0%, 0%); --box: hsl(240 100% 50%); }\n"
              ".coal { --bg: hsl(200, 7%, 8%); --fg: #98a3ad; --box: #000; }\n"
              "@media (prefers-color-scheme: dark) { html { --bg: #000 } }\n");
    writeFile(m_dir / "doc" / "page.html",
              "<html class=\"light\"><head><link rel=\"stylesheet\" href=\"css/vars.css\">"
              "<style>body { margin: 0 } #page { background-color: var(--bg); color: var(--fg);"
              " min-height: 900px } .box { background: var(--box); width: 100px; height: 100px }"
              " .unset { background-color: var(--sidebar-bg); height: 100px }"
              " .alpha { background: #ff000080; height: 50px }</style></head>"
              "<body><a href=\"#page\">Skip to content</a><div id=\"page\"><h1>Themed</h1>"
              "<div class=\"box\"></div><div class=\"unset\">unset</div>"
              "<div class=\"alpha\"></div></div></body></html>");
    const auto pdf = convert(m_dir / "doc" / "page.html");
    const Raster page = raster(pdf, 1);
    const auto dark = [](std::array<int, 3> c) { return c[0] < 60 && c[1] < 60 && c[2] < 60; };
    // The box is the theme's blue; the page stays white where nothing is drawn (an unknown
    // variable sets no background, a half-transparent red is pink on white).
    EXPECT_NEAR(page.count(isBlue), 100 * 100, 600);
    EXPECT_LT(page.count(dark), 2000);
    const auto pink = [](std::array<int, 3> c) {
        return c[0] > 240 && c[1] > 100 && c[1] < 155 && c[2] > 100 && c[2] < 155;
    };
    EXPECT_GT(page.count(pink), 816 * 40);
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    EXPECT_NE(text.find("Skip to content"), std::string::npos);
    EXPECT_NE(text.find("unset"), std::string::npos);
}

TEST_F(HTMLToPDF, AShortPageWithBandsAtItsMarginsIsStillALightPage) {
    // The only page is as tall as its content; the bands and the tile reach into the few points
    // next to its edges, which stay white.
    writePicture(m_dir / "doc" / "pics" / "blue.png", 20, 20);
    writeFile(m_dir / "doc" / "page.html",
              "<html><head><style>.red { background: #ff0000; height: 50px } .tile {"
              " background-image: url(pics/blue.png); width: 200px; height: 100px }</style>"
              "</head><body><div class=\"red\"></div><div class=\"tile\"></div><p>after</p>"
              "<div class=\"red\"></div></body></html>");
    const auto pdf = convert(m_dir / "doc" / "page.html");
    const Raster page = raster(pdf, 1);
    EXPECT_LT(page.height, 300);
    EXPECT_GT(page.count(isRed), 2 * 790 * 48);
    EXPECT_NEAR(page.count(isBlue), 200 * 100, 1500);
}

TEST_F(HTMLToPDF, TableRowsMoveWholeToTheNextPage) {
    // Red rows of 100 pixels from y = 1000: the second one straddles the first page's edge.
    std::string html =
        "<body style=\"margin:0\"><div style=\"height:950px;padding-left:100px\">top</div>"
        "<table style=\"border-spacing:0;margin-left:20px\">";
    for (int i = 1; i <= 4; ++i)
        html += "<tr><td style=\"height:94px;background:#ff0000;border:3px solid #0000ff\">row" +
                std::to_string(i) + "</td></tr>";
    html += "</table>";
    // A row taller than a page is still cut, but each of its lines is printed once.
    html += "<table style=\"margin-left:20px\"><tr><td style=\"background:#ff0000\">";
    for (int i = 1; i <= 90; ++i)
        html += "tall" + std::to_string(i) + "<br>";
    html += "</td></tr></table></body>";
    writeFile(m_dir / "rows.html", html);
    const auto pdf = convert(m_dir / "rows.html");
    const Raster first = raster(pdf, 1);
    int lowest = -1;
    for (int y = 0; y < first.height; ++y)
        for (int x = 0; x < first.width; ++x)
            if (isRed(first.at(x, y)) || isBlue(first.at(x, y)))
                lowest = y;
    EXPECT_GE(lowest, 1040); // the first row (950–1050) stays whole on page 1 …
    EXPECT_LE(lowest, 1051);
    // … and the second starts page 2 with its blue top border and red background.
    const Raster second = raster(pdf, 2);
    EXPECT_TRUE(isBlue(second.at(60, 1))) << second.at(60, 1)[0];
    EXPECT_TRUE(isRed(second.at(60, 20)));
    EXPECT_TRUE(isBlue(second.at(60, 100)));
    EXPECT_TRUE(isRed(second.at(60, 120)));
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    std::size_t at = 0;
    for (int i = 1; i <= 4; ++i)
        ASSERT_NE(at = text.find("row" + std::to_string(i), at), std::string::npos) << i;
    for (int i = 1; i <= 90; ++i) {
        const std::string line = "tall" + std::to_string(i) + "\n";
        const std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "line " << i << " lost or out of order";
        EXPECT_EQ(text.find(line, found + 1), std::string::npos) << "line " << i << " twice";
        at = found;
    }
}

TEST_F(HTMLToPDF, LightTextIsDarkOnTheWhitePageButKeptOnItsOwnBackground) {
    // Written for a dark page: white text straight on the page, white text in a black box, a
    // mid-grey remark and a white list whose bullets would vanish too.
    writeFile(
        m_dir / "light.html",
        "<html><head><style>body{color:#fff;background:#000;margin:0;padding:20px}"
        "</style></head><body>"
        "<div style=\"height:100px\">Invisible words on white paper</div>"
        "<div style=\"height:100px;background:#000000\">White words on black</div>"
        "<div style=\"height:100px;color:#777777\">Grey words stay grey</div>"
        "<ul style=\"margin:0\"><li>bullet</li></ul>"
        "<div style=\"height:100px;color:transparent\">Hidden on purpose</div></body></html>");
    const auto pdf = convert(m_dir / "light.html");
    const Raster page = raster(pdf, 1);
    const auto count = [&](int top, int bottom, int left, int right,
                           const std::function<bool(std::array<int, 3>)>& match) {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                n += match(page.at(x, y)) ? 1 : 0;
        return n;
    };
    const auto dark = [](std::array<int, 3> c) { return c[0] < 80 && c[1] < 80 && c[2] < 80; };
    const auto notBlack = [](std::array<int, 3> c) { return c[0] > 60; };
    // Text on the page: dark strokes where it is written.
    EXPECT_GT(count(20, 120, 0, page.width, dark), 100);
    // In the black box: white strokes, so the text kept its colour.
    EXPECT_GT(count(125, 215, 25, 400, notBlack), 100);
    EXPECT_LT(count(125, 215, 25, 400, notBlack), 8000);
    // The grey remark is readable as written: grey strokes, none darkened.
    EXPECT_GT(count(220, 320, 0, page.width, notBlack) - count(220, 320, 0, page.width, isWhite),
              50);
    EXPECT_EQ(count(220, 320, 0, page.width, dark), 0);
    // The bullet and its text show too.
    EXPECT_GT(count(320, 345, 0, 56, dark), 10);
    EXPECT_GT(count(320, 345, 56, page.width, dark), 50);
    // Fully transparent text stays hidden.
    EXPECT_EQ(count(345, 440, 0, page.width, isWhite), (440 - 345) * page.width);
}

TEST_F(HTMLToPDF, EmojiAreDrawnInColour) {
    if (runProgram({"fc-list", "Noto Color Emoji"}).out.empty())
        GTEST_SKIP() << "fonts-noto-color-emoji is not installed";
    // Grey words, then two emoji from x = 400 on, 48 pixels tall.
    writeFile(m_dir / "emoji.html",
              "<body style=\"margin:0;padding:20px\"><div style=\"font-size:48px\">"
              "<span style=\"display:inline-block;width:380px\">Smile</span>"
              "\U0001F600\U0001F34E</div></body>");
    const Raster page = raster(convert(m_dir / "emoji.html"), 1);
    const auto coloured = [](std::array<int, 3> c) {
        return std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}) > 80;
    };
    int words = 0, emoji = 0, dark = 0;
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x) {
            const bool colour = coloured(page.at(x, y));
            (x < 400 ? words : emoji) += colour ? 1 : 0;
            dark += x < 400 && page.at(x, y)[0] < 80 ? 1 : 0;
        }
    EXPECT_GT(dark, 200); // the words are there, in grey
    EXPECT_EQ(words, 0);
    EXPECT_GT(emoji, 1000); // two coloured pictures of about 55 × 55 pixels
}

TEST_F(HTMLToPDF, ListMarkersDrawNothingBetweenThemAndTheTextBefore) {
    // A number marker leaves the pen at its end; a bullet drawn from there would streak down.
    writeFile(m_dir / "list.html",
              "<body style=\"margin:0\"><ol style=\"margin:0\"><li>first</li></ol>"
              "<ul style=\"margin-top:300px\"><li>item</li></ul></body>");
    const Raster page = raster(convert(m_dir / "list.html"), 1);
    int marks = 0;
    for (int y = 40; y < 290; ++y)
        for (int x = 0; x < page.width; ++x)
            marks += isWhite(page.at(x, y)) ? 0 : 1;
    EXPECT_EQ(marks, 0);
    const std::string text = tool({"pdftotext", "-layout", (m_out / "list.pdf").string(), "-"});
    EXPECT_NE(text.find("1. first"), std::string::npos) << text;
}

TEST_F(HTMLToPDF, PicturesOutsideTheFolderAreNotLoaded) {
    writePicture(m_dir / "outside.png", 80, 80);
    const std::string absolute = (m_dir / "outside.png").string();
    writeFile(m_dir / "doc" / "page.html", "<p>before</p><img src=\"../outside.png\"><img src=\"" +
                                               absolute + "\"><img src=\"file://" + absolute +
                                               "\"><p>after</p>");
    const auto pdf = convert(m_dir / "doc" / "page.html");
    EXPECT_EQ(raster(pdf, 1).count(isBlue), 0);
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    EXPECT_NE(text.find("after"), std::string::npos) << text;
}

TEST_F(HTMLToPDF, CollapsedBordersStillFillEachPage) {
    // Rows sharing a collapsed border overlap by its width; a page still holds a page of rows,
    // not one row each.
    std::string html = "<html><head><style>table{border-collapse:collapse}td{border:1px solid "
                       "#ccc;padding:4px}</style></head><body><table>";
    for (int i = 1; i <= 400; ++i)
        html += "<tr><td>row " + std::to_string(i) + "</td><td>x</td></tr>";
    html += "</table></body></html>";
    writeFile(m_dir / "collapsed.html", html);
    const auto pdf = convert(m_dir / "collapsed.html");
    const auto pages = pageSizes(pdf).size();
    EXPECT_GE(pages, 5u);
    EXPECT_LE(pages, 15u);
    // Every row once, in order.
    const std::string text = tool({"pdftotext", "-layout", pdf.string(), "-"});
    std::size_t at = 0;
    for (int i = 1; i <= 400; ++i) {
        const std::string cell = "row " + std::to_string(i) + " ";
        at = text.find(cell, at);
        ASSERT_NE(at, std::string::npos) << "row " << i;
        EXPECT_EQ(text.find(cell, at + 1), std::string::npos) << "row " << i << " twice";
    }
}

TEST_F(HTMLToPDF, TablesBecomePagesOfTheirCells) {
    std::string csv = "id,name,notes\n";
    for (int i = 1; i <= 150; ++i)
        csv += std::to_string(i) + ",row " + std::to_string(i) + ",\"a, b & <c>\"\n";
    writeFile(m_dir / "rows.csv", csv);
    const auto pdf = convert(m_dir / "rows.csv");
    EXPECT_GT(pageSizes(pdf).size(), 2u);
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    std::size_t at = text.find("notes");
    ASSERT_NE(at, std::string::npos) << text;
    for (int i = 1; i <= 150; ++i) {
        at = text.find("row " + std::to_string(i) + "\n", at);
        ASSERT_NE(at, std::string::npos) << "row " << i;
    }
    EXPECT_NE(text.find("a, b & <c>"), std::string::npos);

    writeFile(m_dir / "items.json", R"([{"z":1,"a":"first"},{"z":2,"a":"second"}])");
    const std::string json = tool({"pdftotext", convert(m_dir / "items.json").string(), "-"});
    EXPECT_LT(json.find("z"), json.find("first"));
    EXPECT_LT(json.find("first"), json.find("second"));
    writeFile(m_dir / "items.tsv", "k\tv\nalpha\tbeta\n");
    const std::string tsv = tool({"pdftotext", convert(m_dir / "items.tsv").string(), "-"});
    EXPECT_NE(tsv.find("alpha"), std::string::npos);
}

TEST_F(HTMLToPDF, APageWithoutPicturesNeedsOnlyTheDocumentModule) {
    // A folder holding the PDF writer's and reader's modules alone: HTML and text pages still
    // convert and pass their check; only work on pictures asks for the image module.
    const auto built = std::filesystem::path(KV_BINARY).parent_path();
    const auto modules = m_dir / "modules";
    std::filesystem::create_directories(modules);
    for (const char* module : {"kelvane-document.so", "kelvane-pdfread.so"})
        std::filesystem::create_symlink(built / module, modules / module);
    // Every symbol bound at load, so one the module needs and nothing provides fails here.
    const auto runIn = [&](const std::filesystem::path& folder, const std::filesystem::path& source,
                           const char* target) {
        return runProgram({"env", "KELVANE_MODULE_DIR=" + folder.string(), "LD_BIND_NOW=1",
                           KV_BINARY, "--convert", source.string(), target, m_out.string()});
    };
    const auto run = [&](const std::filesystem::path& source, const char* target) {
        return runIn(modules, source, target);
    };
    writeFile(m_dir / "page.html",
              "<h1>Heading</h1><table border=1><tr><td>cell</td></tr></table>");
    const auto html = run(m_dir / "page.html", "pdf");
    ASSERT_EQ(html.exitCode, 0) << html.err;
    EXPECT_NE(tool({"pdftotext", (m_out / "page.pdf").string(), "-"}).find("cell"),
              std::string::npos);
    writeFile(m_dir / "note.txt", "plain words\n");
    EXPECT_EQ(run(m_dir / "note.txt", "pdf").exitCode, 0);
    const auto pictures = run(m_out / "page.pdf", "pdfPagePng");
    EXPECT_NE(pictures.exitCode, 0);
    EXPECT_NE(pictures.err.find("could not be loaded"), std::string::npos) << pictures.err;

    // The reader checks every written page: without it a page fails its check and nothing is
    // published, although the writer (opening the reader on another thread) drew it.
    const auto writerOnly = m_dir / "writer-only";
    std::filesystem::create_directories(writerOnly);
    std::filesystem::create_symlink(built / "kelvane-document.so",
                                    writerOnly / "kelvane-document.so");
    writeFile(m_dir / "unchecked.html", "<p>words</p>");
    const auto unchecked = runIn(writerOnly, m_dir / "unchecked.html", "pdf");
    EXPECT_EQ(unchecked.exitCode, 1);
    EXPECT_NE(unchecked.err.find("PDF reading support could not be loaded"), std::string::npos)
        << unchecked.err;
    EXPECT_FALSE(std::filesystem::exists(m_out / "unchecked.pdf"));

    // qpdf serves only the split, in a module of its own: a page never loads it. Reading a
    // PDF's text needs poppler alone, not the writer's pango and litehtml.
    const auto traced = runProgram({"env", "LD_DEBUG=files", KV_BINARY, "--convert",
                                    (m_dir / "page.html").string(), "pdf", m_out.string()});
    ASSERT_EQ(traced.exitCode, 0) << traced.err;
    EXPECT_NE(traced.err.find("kelvane-document.so"), std::string::npos);
    EXPECT_NE(traced.err.find("kelvane-pdfread.so"), std::string::npos);
    EXPECT_EQ(traced.err.find("libqpdf"), std::string::npos);
    EXPECT_EQ(traced.err.find("kelvane-pdfsplit.so"), std::string::npos);
    const auto read = runProgram({"env", "LD_DEBUG=files", KV_BINARY, "--convert",
                                  (m_out / "page.pdf").string(), "txt", m_out.string()});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_NE(read.err.find("libpoppler"), std::string::npos);
    EXPECT_EQ(read.err.find("kelvane-document.so"), std::string::npos);
    EXPECT_EQ(read.err.find("liblitehtml"), std::string::npos);

    // With every module beside it, a page's picture decodes in the image module.
    writePicture(m_dir / "blue.png", 40, 40);
    writeFile(m_dir / "picture.html", "<body style=\"margin:20px\"><img src=\"blue.png\"></body>");
    const auto drawn = runProgram({"env", "LD_BIND_NOW=1", KV_BINARY, "--convert",
                                   (m_dir / "picture.html").string(), "pdf", m_out.string()});
    ASSERT_EQ(drawn.exitCode, 0) << drawn.err;
    EXPECT_GT(raster(m_out / "picture.pdf", 1).count(isBlue), 100);
}

// A DOCX made by pandoc from `markdown`.
std::filesystem::path pandocDOCX(const std::filesystem::path& file, const std::string& markdown) {
    const auto source = file.parent_path() / (file.stem().string() + ".md");
    writeFile(source, markdown);
    const auto made = runProgram({"pandoc", source.string(), "-o", file.string()});
    EXPECT_EQ(made.exitCode, 0) << made.err;
    std::filesystem::remove(source);
    return file;
}

TEST_F(HTMLToPDF, DOCXPagesKeepTextOrderAndHeadings) {
    if (!test::haveTool("pandoc") || !test::haveTool("pdffonts"))
        GTEST_SKIP() << "pandoc or pdffonts is not installed";
    std::string markdown = "# Annual Heading\n\n";
    for (int i = 1; i <= 120; ++i)
        markdown += "Paragraph " + std::to_string(i) + " with *some* words. End" +
                    std::to_string(i) + "\n\n";
    markdown += "Caf\u00e9 and \u65e5\u672c and a [link](http://example.com).\n";
    const auto pdf = convert(pandocDOCX(m_dir / "memo.docx", markdown));
    const auto sizes = pageSizes(pdf);
    ASSERT_GE(sizes.size(), 2u);
    EXPECT_EQ(sizes.front(), "612 x 792");
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    std::size_t at = text.find("Annual Heading");
    ASSERT_NE(at, std::string::npos) << text;
    for (int i = 1; i <= 120; ++i) {
        const std::string end = "End" + std::to_string(i) + "\n";
        const std::size_t found = text.find(end, at);
        ASSERT_NE(found, std::string::npos) << "paragraph " << i << " lost or out of order";
        EXPECT_EQ(text.find(end, found + 1), std::string::npos) << "paragraph " << i << " twice";
        at = found;
    }
    EXPECT_NE(text.find("Caf\u00e9 and \u65e5\u672c"), std::string::npos) << text;
    const std::string fonts = tool({"pdffonts", pdf.string()});
    EXPECT_NE(fonts.find("Bold"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find("Oblique"), std::string::npos) << fonts;
    // The heading is drawn larger and heavier than body text: more dark pixels per line.
    const Raster page = raster(pdf, 1);
    const auto darkInRows = [&](int from, int to) {
        int n = 0;
        for (int y = from; y < to; ++y)
            for (int x = 0; x < page.width; ++x)
                n += page.at(x, y)[0] < 128 ? 1 : 0;
        return n;
    };
    const auto words =
        test::runProgram({"pdftotext", "-bbox", "-f", "1", "-l", "1", pdf.string(), "-"}).out;
    const std::regex box("yMin=\"([0-9.]+)\" xMax=\"[0-9.]+\" yMax=\"([0-9.]+)\">([^<]*)<");
    std::map<std::string, std::pair<int, int>> rows; // first box of each word, in pixels
    for (auto it = std::sregex_iterator(words.begin(), words.end(), box);
         it != std::sregex_iterator(); ++it)
        rows.try_emplace((*it)[3], static_cast<int>(std::stod((*it)[1]) * 96 / 72),
                         static_cast<int>(std::stod((*it)[2]) * 96 / 72) + 1);
    ASSERT_TRUE(rows.count("Annual") && rows.count("Paragraph")) << words;
    const auto [headTop, headBottom] = rows["Annual"];
    const auto [bodyTop, bodyBottom] = rows["Paragraph"];
    EXPECT_GT(headBottom - headTop, 1.5 * (bodyBottom - bodyTop));
    EXPECT_GT(darkInRows(headTop, headBottom), 2 * darkInRows(bodyTop, bodyBottom));
}

TEST_F(HTMLToPDF, LibreOfficeDOCXPrintsItsTextInOrder) {
    if (!test::haveTool("soffice") || !test::haveTool("pdffonts"))
        GTEST_SKIP() << "LibreOffice (soffice) or pdffonts is not installed";
    writeFile(m_dir / "office.html",
              "<html><body><h1>Office Heading</h1><p>First <b>strong</b> paragraph.</p>"
              "<table border=\"1\"><tr><td>cellA</td><td>cellB</td></tr></table>"
              "<p>Caf\u00e9 \u00fcber \u6771\u4eac, last paragraph.</p></body></html>");
    const auto made = runProgram(
        {"soffice", "-env:UserInstallation=file://" + (m_dir / "profile").string(), "--headless",
         "--infilter=HTML (StarWriter)", "--convert-to", "docx:MS Word 2007 XML", "--outdir",
         (m_dir / "office").string(), (m_dir / "office.html").string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const auto pdf = convert(m_dir / "office" / "office.docx");
    const std::string text = tool({"pdftotext", pdf.string(), "-"});
    std::size_t at = 0;
    for (const std::string_view part :
         {"Office Heading", "First strong paragraph.", "cellA", "cellB",
          "Caf\u00e9 \u00fcber \u6771\u4eac, last paragraph."}) {
        const std::size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos) << part << " missing or out of order:\n" << text;
        at = found + part.size();
    }
    EXPECT_NE(tool({"pdffonts", pdf.string()}).find("Bold"), std::string::npos);
    // The table keeps its cell borders: a dark line across the row just above "cellA".
    const std::string boxes = tool({"pdftotext", "-bbox", pdf.string(), "-"});
    std::smatch cellBox;
    const std::regex cellPattern("yMin=\"([0-9.]+)\"[^>]*>cellA<");
    ASSERT_TRUE(std::regex_search(boxes, cellBox, cellPattern)) << boxes;
    const int cellTop = static_cast<int>(std::stod(cellBox[1]) * 96 / 72);
    const Raster page = raster(pdf, 1);
    int longest = 0;
    for (int y = std::max(cellTop - 10, 0); y < cellTop; ++y) {
        int dark = 0;
        for (int x = 0; x < page.width; ++x)
            dark += page.at(x, y)[0] < 120 ? 1 : 0;
        longest = std::max(longest, dark);
    }
    EXPECT_GT(longest, 80) << "no border line above the first row";
}

TEST_F(HTMLToPDF, DOCXPicturesArePrintedWhereTheDocumentHasThem) {
    if (!test::haveTool("pandoc"))
        GTEST_SKIP() << "pandoc is not installed";
    // pandoc embeds the picture in the package, at a size from its resolution (the extent).
    writePicture(m_dir / "blue.png", 100, 50);
    const auto docx = pandocDOCX(m_dir / "pictured.docx", "Before the picture.\n\n![](" +
                                                              (m_dir / "blue.png").string() +
                                                              ")\n\nAfter the picture.\n");
    std::filesystem::remove(m_dir / "blue.png");
    const std::string xml = tool({"unzip", "-p", docx.string(), "word/document.xml"});
    std::smatch extent;
    const std::regex extentPattern("extent cx=\"([0-9]+)\" cy=\"([0-9]+)\"");
    ASSERT_TRUE(std::regex_search(xml, extent, extentPattern)) << xml;
    const double width = std::stod(extent[1]) / 9525, height = std::stod(extent[2]) / 9525; // px
    const auto pdf = convert(docx);
    const Raster page = raster(pdf, 1);
    EXPECT_NEAR(page.count(isBlue), width * height, width * 2 + height * 2 + 10);
    // Between the two paragraphs.
    const auto rowsWith = [&](const std::function<bool(std::array<int, 3>)>& match) {
        std::pair<int, int> rows{page.height, -1};
        for (int y = 0; y < page.height; ++y)
            for (int x = 0; x < page.width; ++x)
                if (match(page.at(x, y)))
                    rows = {std::min(rows.first, y), std::max(rows.second, y)};
        return rows;
    };
    const auto blue = rowsWith(isBlue);
    EXPECT_NEAR(blue.second - blue.first + 1, height, 2);
    const std::string text = tool({"pdftotext", "-bbox", pdf.string(), "-"});
    const std::regex word("yMin=\"([0-9.]+)\"[^>]*>(Before|After)<");
    std::map<std::string, double> tops;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), word);
         it != std::sregex_iterator(); ++it)
        tops[(*it)[2]] = std::stod((*it)[1]) * 96 / 72;
    ASSERT_EQ(tops.size(), 2u) << text;
    EXPECT_LT(tops["Before"], blue.first);
    EXPECT_GT(tops["After"], blue.second);

    // The HTML export carries the same picture inside the page.
    const std::string html = test::readFile(test::convertWithKelvane(docx, "html", m_dir / "html"));
    EXPECT_NE(html.find("<img src=\"data:image/png;base64,iVBORw0KGgo"), std::string::npos);
    EXPECT_NE(html.find("width=\"" + std::to_string(std::lround(width)) + "\" height=\"" +
                        std::to_string(std::lround(height)) + "\""),
              std::string::npos);
}

TEST_F(HTMLToPDF, PicturesInsideThePageAreDrawn) {
    // A 2 × 1 blue PNG written into the page as a data URI, drawn at 100 × 50.
    std::vector<std::uint8_t> rgba{0, 0, 255, 255, 0, 0, 255, 255};
    image::encodeImage(image::Image::fromRgba8(rgba, 2, 1), m_dir / "dot.png", {});
    const std::string png = test::readFile(m_dir / "dot.png");
    std::filesystem::remove(m_dir / "dot.png");
    std::string base64;
    const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < png.size(); i += 3) {
        std::uint32_t v = static_cast<unsigned char>(png[i]) << 16;
        if (i + 1 < png.size())
            v |= static_cast<unsigned char>(png[i + 1]) << 8;
        if (i + 2 < png.size())
            v |= static_cast<unsigned char>(png[i + 2]);
        base64 += digits[v >> 18 & 63];
        base64 += digits[v >> 12 & 63];
        base64 += i + 1 < png.size() ? digits[v >> 6 & 63] : '=';
        base64 += i + 2 < png.size() ? digits[v & 63] : '=';
    }
    writeFile(m_dir / "inline.html", "<p>x</p><img src=\"data:image/png;base64," + base64 +
                                         "\" width=\"100\" height=\"50\"><img "
                                         "src=\"data:image/png;base64,@@@\">");
    EXPECT_NEAR(raster(convert(m_dir / "inline.html"), 1).count(isBlue), 5000, 400);
}

// A DOCX package around `body`, with the parts pandoc needs to read it.
std::filesystem::path makeDOCX(const std::filesystem::path& file, const std::string& body) {
    const auto part = [](std::string name, std::string data) {
        return ArchiveConverter::ZipEntry{.name = std::move(name),
                                          .data = std::move(data),
                                          .method = ArchiveConverter::ZipMethod::deflated,
                                          .modified = 0};
    };
    const std::vector<ArchiveConverter::ZipEntry> entries{
        part("[Content_Types].xml",
             "<?xml version=\"1.0\"?><Types "
             "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default "
             "Extension=\"rels\" "
             "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/><Default "
             "Extension=\"xml\" ContentType=\"application/xml\"/><Override "
             "PartName=\"/word/document.xml\" "
             "ContentType=\"application/"
             "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"),
        part("_rels/.rels",
             "<?xml version=\"1.0\"?><Relationships "
             "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
             "Id=\"rId1\" "
             "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
             "officeDocument\" Target=\"word/document.xml\"/></Relationships>"),
        part("word/document.xml",
             "<?xml version=\"1.0\"?><w:document "
             "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>" +
                 body + "<w:sectPr/></w:body></w:document>")};
    const auto bytes = ArchiveConverter::buildZIP(entries);
    writeFile(file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return file;
}

std::string docxCell(const std::string& text, const std::string& properties = "") {
    return "<w:tc>" + (properties.empty() ? "" : "<w:tcPr>" + properties + "</w:tcPr>") +
           "<w:p><w:r><w:t>" + text + "</w:t></w:r></w:p></w:tc>";
}

// The first box of each word on page 1, in pixels at 96 dpi: {xMin, yMin, xMax, yMax}.
std::map<std::string, std::array<int, 4>> wordBoxes(const std::string& bbox) {
    std::map<std::string, std::array<int, 4>> boxes;
    const std::regex word("xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" "
                          "yMax=\"([0-9.]+)\">([^<]*)<");
    const auto px = [](const std::string& pt) { return static_cast<int>(std::stod(pt) * 96 / 72); };
    for (auto it = std::sregex_iterator(bbox.begin(), bbox.end(), word);
         it != std::sregex_iterator(); ++it)
        boxes.try_emplace((*it)[5],
                          std::array{px((*it)[1]), px((*it)[2]), px((*it)[3]), px((*it)[4]) + 1});
    return boxes;
}

TEST_F(HTMLToPDF, WordsInSeveralFontsReadBackWholeAndLeaveRoomForTheNext) {
    // One word set in three fonts (Latin, CJK and Hangul fallback), ligature candidates, and one
    // word at two sizes: each piece sits after the one before, and the next word after all.
    writeFile(m_dir / "words.html",
              "<body style=\"margin:0;font-size:32px\"><p>office affluent Tokyo東京Seoul서울 "
              "next</p><p><span style=\"font-size:64px\">same</span> "
              "<span style=\"font-size:12px\">same</span> after</p></body>");
    const auto pdf = convert(m_dir / "words.html");
    const auto boxes = wordBoxes(tool({"pdftotext", "-bbox", pdf.string(), "-"}));
    for (const char* word : {"office", "affluent", "Tokyo東京Seoul서울", "next", "same", "after"})
        ASSERT_TRUE(boxes.count(word)) << word;
    const auto& mixed = boxes.at("Tokyo東京Seoul서울");
    const auto& next = boxes.at("next");
    EXPECT_EQ(mixed[1], next[1]); // one line
    // Pieces drawn over each other would make the word narrow and leave a gap before "next".
    EXPECT_GT(mixed[2] - mixed[0], 12 * 16); // 12 characters at 32 px, the CJK ones wide
    EXPECT_GE(next[0] - mixed[2], 4);        // a space between, no overlap
    EXPECT_LE(next[0] - mixed[2], 16);
    // The small "same" is measured at its own size, so "after" follows it closely.
    const auto& big = boxes.at("same");
    const auto& after = boxes.at("after");
    EXPECT_LT(after[0] - big[2], (big[2] - big[0]) / 2);
}

TEST_F(HTMLToPDF, UnderlinesRunBelowTheLettersAcrossTheWord) {
    // Letters without descenders: the line sits below all of them, as wide as the word.
    writeFile(m_dir / "underline.html",
              "<body style=\"margin:0;padding:20px\"><u style=\"font-size:128px;color:#f00\">"
              "xnxnxmx</u></body>");
    const Raster page = raster(convert(m_dir / "underline.html"), 1);
    int left = page.width, right = 0;
    std::vector<int> perRow(page.height);
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x)
            if (isRed(page.at(x, y))) {
                ++perRow[y];
                left = std::min(left, x);
                right = std::max(right, x);
            }
    ASSERT_LT(left, right);
    int lastLetterRow = -1, firstLineRow = -1;
    for (int y = 0; y < page.height; ++y) {
        if (perRow[y] >= (right - left) * 9 / 10) {
            if (firstLineRow < 0)
                firstLineRow = y;
        } else if (perRow[y] > 0) {
            lastLetterRow = y;
        }
    }
    ASSERT_GT(firstLineRow, 0) << "no underline as wide as the word";
    // Under the baseline with a gap, not through the letters' feet, and not a line lower.
    EXPECT_GT(firstLineRow, lastLetterRow + 1);
    EXPECT_LT(firstLineRow - lastLetterRow, 24);
}

TEST_F(HTMLToPDF, SharedBordersOfCollapsedCellsShowOverTheirBackgrounds) {
    // Neighbouring cells both draw the border between them; each cell's background is painted
    // over its neighbour's border before its own border, so that border must still be drawn.
    std::string html = "<body style=\"margin:0;padding:20px\"><table style=\"border-collapse:"
                       "collapse\">";
    for (int row = 0; row < 3; ++row) {
        html += "<tr>";
        for (int cell = 0; cell < 4; ++cell)
            html += "<td style=\"width:80px;height:40px;background:#00f;border:3px solid "
                    "#f00\"></td>";
        html += "</tr>";
    }
    writeFile(m_dir / "cells.html", html + "</table></body>");
    const Raster page = raster(convert(m_dir / "cells.html"), 1);
    // Where red runs start along a line across the table.
    const auto runs = [&](int count, const std::function<bool(int)>& redAt) {
        std::vector<int> starts;
        for (int i = 0, last = -2; i < count; ++i)
            if (redAt(i)) {
                if (last < i - 1)
                    starts.push_back(i);
                last = i;
            }
        return starts;
    };
    const int middleOfFirstRow = 20 + 20;
    const auto columns =
        runs(page.width, [&](int x) { return isRed(page.at(x, middleOfFirstRow)); });
    ASSERT_EQ(columns.size(), 5U) << "four cells have five vertical borders";
    const int middleOfFirstCell = (columns[0] + columns[1]) / 2;
    const auto rows =
        runs(page.height, [&](int y) { return isRed(page.at(middleOfFirstCell, y)); });
    ASSERT_EQ(rows.size(), 4U) << "three rows have four horizontal borders";
    // Every border runs red from one end of the table to the other.
    for (const int x : columns) {
        int red = 0;
        for (int y = rows.front(); y <= rows.back(); ++y)
            red += isRed(page.at(x + 1, y)) ? 1 : 0;
        EXPECT_GT(red, rows.back() - rows.front() - 4) << "border at x = " << x;
    }
    for (const int y : rows) {
        int red = 0;
        for (int x = columns.front(); x <= columns.back(); ++x)
            red += isRed(page.at(x, y + 1)) ? 1 : 0;
        EXPECT_GT(red, columns.back() - columns.front() - 4) << "border at y = " << y;
    }
}

TEST_F(HTMLToPDF, TextAfterALineOrParagraphSeparatorIsPrinted) {
    writeFile(
        m_dir / "separators.html",
        "<body><p>before&#x2028;after one&#x2029;two</p><pre>pre&#x2028;formatted</pre></body>");
    const std::string text =
        tool({"pdftotext", (convert(m_dir / "separators.html")).string(), "-"});
    for (const char* word : {"before", "after", "one", "two", "pre", "formatted"})
        EXPECT_NE(text.find(word), std::string::npos) << word << " in " << text;
}

// colspan × rowspan of each cell of an HTML page, in order.
std::vector<std::pair<int, int>> cellSpans(const std::string& html) {
    std::vector<std::pair<int, int>> spans;
    const std::regex cell("<td([^>]*)>");
    const std::regex colspan("colspan=\"([0-9]+)\""), rowspan("rowspan=\"([0-9]+)\"");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), cell);
         it != std::sregex_iterator(); ++it) {
        const std::string attributes = (*it)[1];
        std::smatch c, r;
        spans.emplace_back(std::regex_search(attributes, c, colspan) ? std::stoi(c[1]) : 1,
                           std::regex_search(attributes, r, rowspan) ? std::stoi(r[1]) : 1);
    }
    return spans;
}

TEST_F(HTMLToPDF, DOCXMergedCellsSpanAndInnerTablesSitInTheirCell) {
    const std::string grid = "<w:tblGrid><w:gridCol w:w=\"2000\"/><w:gridCol w:w=\"2000\"/>"
                             "<w:gridCol w:w=\"2000\"/></w:tblGrid>";
    const std::string body =
        "<w:tbl><w:tblPr><w:tblStyle w:val=\"TableGrid\"/></w:tblPr>" + grid + "<w:tr>" +
        docxCell("Name", "<w:gridSpan w:val=\"2\"/>") + docxCell("Total") + "</w:tr><w:tr>" +
        docxCell("first") + docxCell("last") + docxCell("sum") + "</w:tr><w:tr>" +
        docxCell("Group", "<w:vMerge w:val=\"restart\"/>") + docxCell("b1") + docxCell("c1") +
        "</w:tr><w:tr><w:tc><w:tcPr><w:vMerge/></w:tcPr><w:p/></w:tc>" + docxCell("b2") +
        docxCell("c2") + "</w:tr><w:tr>" + docxCell("outer") +
        "<w:tc><w:tbl><w:tblGrid><w:gridCol w:w=\"900\"/><w:gridCol w:w=\"900\"/></w:tblGrid>"
        "<w:tr>" +
        docxCell("inA") + docxCell("inB") + "</w:tr><w:tr>" + docxCell("inC") + docxCell("inD") +
        "</w:tr></w:tbl><w:p/></w:tc>" + docxCell("tail") + "</w:tr></w:tbl><w:p/>";
    const auto docx = makeDOCX(m_dir / "merged.docx", body);
    const auto pdf = convert(docx);
    const auto boxes =
        wordBoxes(tool({"pdftotext", "-bbox", "-f", "1", "-l", "1", pdf.string(), "-"}));
    for (const char* word : {"Name", "Total", "first", "last", "sum", "Group", "b1", "b2", "inA",
                             "inB", "inC", "inD", "tail"})
        ASSERT_TRUE(boxes.count(word)) << word;
    const auto at = [&](const char* word) { return boxes.at(word); };
    // The header spans two columns: "Total" heads the third one, not the second.
    EXPECT_NEAR(at("Total")[0], at("sum")[0], 2);
    EXPECT_GT(at("Total")[0], at("last")[2]);
    EXPECT_NEAR(at("Name")[0], at("first")[0], 2);
    // "Group" covers two rows: no line between them under it, one under "b1".
    const Raster page = raster(pdf, 1);
    const auto longestDarkRow = [&](int x0, int x1, int y0, int y1) {
        int longest = 0;
        for (int y = y0; y < y1; ++y) {
            int dark = 0;
            for (int x = x0; x < x1; ++x)
                dark += page.at(x, y)[0] < 128 ? 1 : 0;
            longest = std::max(longest, dark);
        }
        return longest;
    };
    const int between = at("b1")[3], below = at("b2")[1];
    ASSERT_LT(between, below);
    EXPECT_EQ(longestDarkRow(at("first")[0], at("first")[2], between, below), 0);
    EXPECT_EQ(longestDarkRow(at("b1")[0], at("b1")[2], between, below), at("b1")[2] - at("b1")[0]);
    EXPECT_NEAR(at("Group")[1], at("b1")[1], 2); // at the top of its cell, as Word sets it
    // The inner table keeps its rows, inside its cell of the second column.
    EXPECT_NEAR(at("inC")[0], at("inA")[0], 2);
    EXPECT_GT(at("inC")[1], at("inA")[3]);
    EXPECT_NEAR(at("inB")[1], at("inA")[1], 2);
    EXPECT_GE(at("inA")[0], at("last")[0] - 2);
    EXPECT_LT(at("inB")[2], at("tail")[0]);

    // The HTML export spans the cells as pandoc reads the same file.
    const std::string html = test::readFile(test::convertWithKelvane(docx, "html", m_dir / "html"));
    const std::vector<std::pair<int, int>> expected{{2, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 2},
                                                    {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1},
                                                    {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}};
    EXPECT_EQ(cellSpans(html), expected) << html;
    if (test::haveTool("pandoc")) {
        EXPECT_EQ(cellSpans(tool({"pandoc", "-f", "docx", "-t", "html", docx.string()})), expected);
    }
}

TEST_F(HTMLToPDF, LibreOfficeDOCXKeepsMergedAndInnerTables) {
    if (!test::haveTool("soffice"))
        GTEST_SKIP() << "LibreOffice (soffice) is not installed";
    writeFile(m_dir / "spans.html",
              "<html><body><p>Before</p><table border=\"1\"><tr><td rowspan=\"2\">R</td>"
              "<td colspan=\"2\">Head</td></tr><tr><td>a</td><td>b</td></tr><tr><td>c</td>"
              "<td><table border=\"1\"><tr><td>n1</td><td>n2</td></tr><tr><td>n3</td>"
              "<td>n4</td></tr></table></td><td>d</td></tr></table><p>After</p></body></html>");
    const auto made = runProgram(
        {"soffice", "-env:UserInstallation=file://" + (m_dir / "profile").string(), "--headless",
         "--infilter=HTML (StarWriter)", "--convert-to", "docx:MS Word 2007 XML", "--outdir",
         (m_dir / "office").string(), (m_dir / "spans.html").string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const auto docx = m_dir / "office" / "spans.docx";
    const std::string html = test::readFile(test::convertWithKelvane(docx, "html", m_dir / "html"));
    const auto spans = cellSpans(html);
    ASSERT_GE(spans.size(), 4u) << html;
    EXPECT_EQ(spans[0], std::make_pair(1, 2)) << html;
    EXPECT_EQ(spans[1], std::make_pair(2, 1)) << html;
    // The inner table is a table of its own, inside a cell of the outer one.
    const std::size_t inner = html.find("<table", html.find("<table") + 1);
    ASSERT_NE(inner, std::string::npos) << html;
    EXPECT_LT(html.rfind("<td", inner), inner);
    EXPECT_LT(inner, html.find("n1"));
    EXPECT_LT(html.find("n4"), html.find("</table>"));
    EXPECT_LT(html.find("</table>"), html.find(">d<"));
}

TEST_F(HTMLToPDF, DOCXWithoutVisibleTextFailsAndWritesNothing) {
    if (!test::haveTool("pandoc"))
        GTEST_SKIP() << "pandoc is not installed";
    for (const auto& [name, markdown] : std::vector<std::pair<std::string, std::string>>{
             {"empty", ""}, {"blank", "&nbsp;\n\n\u3000\n"}}) {
        const auto docx = pandocDOCX(m_dir / (name + ".docx"), markdown);
        const auto result = runKelvane({"--convert", docx.string(), "pdf", m_out.string()});
        EXPECT_NE(result.exitCode, 0) << name;
        EXPECT_NE(result.err.find("Document produced no readable text \u2014 it may be empty or "
                                  "unsupported"),
                  std::string::npos)
            << name << ": " << result.err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(m_out));
}

} // namespace
} // namespace kv
