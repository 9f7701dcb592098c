// HTML on PDF pages: the document is laid out 816 CSS pixels wide (8.5 in at 96 px per inch) and
// cut into 1056-pixel (11 in) slices, one per page, scaled to points. A cut moves up to the top of
// a line or picture it would split, so nothing is lost or drawn twice at a page edge. Only files
// in or below the document's folder are read; nothing comes from the network.
#include "document/pdf/html_pdf.h"

#include "base/ascii_case.h"
#include "base/hex_digit.h"
#include "document/pdf/pdf_conversions.h"
#include "engine/conversion_error.h"
#include "engine/output_file.h"
#include "image/page_picture.h"
#include "platform/html/html_layout.h"
#include "platform/pdf/font_config.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>

namespace kv::DocumentConverter {
namespace {

constexpr int kLayoutWidth = 816;
constexpr double kPointsPerPixel = 0.75;
constexpr int kLongestPictureSide = 3 * kLayoutWidth; // sharp at 3× zoom, bounded in memory
constexpr std::uintmax_t kMaxStyleSheetBytes = 4 << 20;

constexpr std::string_view kLightStyle =
    "<style>html,body{background:#ffffff !important;color-scheme:only "
    "light;color:#1a1a1a;}</style>";

// What every element starts from: the usual rendering of HTML elements on paper.
constexpr std::string_view kDefaultStyle = R"css(
html, address, blockquote, body, dd, div, dl, dt, fieldset, form, frame, frameset, h1, h2, h3,
h4, h5, h6, noframes, ol, p, ul, center, dir, hr, menu, pre, header, footer, nav, section,
article, aside, main, figure, figcaption, details, summary, hgroup { display: block; }
head, script, style, title, meta, link, base, template, noscript, [hidden] { display: none; }
html { font-family: sans-serif; font-size: 16px; line-height: normal; }
body { margin: 8px; }
p, blockquote, dl, figure, ul, ol, menu, dir { margin-top: 1em; margin-bottom: 1em; }
blockquote, figure { margin-left: 40px; margin-right: 40px; }
h1 { font-size: 2em; margin: 0.67em 0; font-weight: bold; }
h2 { font-size: 1.5em; margin: 0.83em 0; font-weight: bold; }
h3 { font-size: 1.17em; margin: 1em 0; font-weight: bold; }
h4 { font-size: 1em; margin: 1.33em 0; font-weight: bold; }
h5 { font-size: 0.83em; margin: 1.67em 0; font-weight: bold; }
h6 { font-size: 0.67em; margin: 2.33em 0; font-weight: bold; }
b, strong, th, dt { font-weight: bold; }
i, em, cite, var, dfn, address { font-style: italic; }
pre, code, kbd, samp, tt { font-family: monospace; }
pre { white-space: pre; margin: 1em 0; }
small { font-size: 0.83em; }
big { font-size: 1.17em; }
sub { font-size: 0.83em; vertical-align: sub; }
sup { font-size: 0.83em; vertical-align: super; }
u, ins { text-decoration: underline; }
s, strike, del { text-decoration: line-through; }
center { text-align: center; }
hr { border: 1px inset #999999; margin: 0.5em 0; height: 0; }
ul, ol, menu, dir { padding-left: 40px; }
ul { list-style-type: disc; }
ol { list-style-type: decimal; }
ul ul { list-style-type: circle; margin-top: 0; margin-bottom: 0; }
ul ul ul { list-style-type: square; }
ol ol, ol ul, ul ol { margin-top: 0; margin-bottom: 0; }
li { display: list-item; }
dd { margin-left: 40px; }
a[href] { color: #0044cc; text-decoration: underline; }
img { display: inline-block; }
table { display: table; border-collapse: separate; border-spacing: 2px; }
thead { display: table-header-group; vertical-align: middle; }
tbody { display: table-row-group; vertical-align: middle; }
tfoot { display: table-footer-group; vertical-align: middle; }
tr { display: table-row; vertical-align: inherit; }
td, th { display: table-cell; vertical-align: inherit; padding: 1px; }
th { text-align: center; }
caption { display: table-caption; text-align: center; }
col { display: table-column; }
colgroup { display: table-column-group; }
br { display: block; }
)css";

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexDigitValue(text[i + 1]), low = hexDigitValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size > kMaxStyleSheetBytes)
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof())
        return std::nullopt;
    return text;
}

// The bytes of a base64 "data:image/…" URI; nothing for any other reference. Such a picture is
// part of the page itself: reading it touches no file and no network.
std::optional<std::vector<std::uint8_t>> dataURIPicture(std::string_view reference) {
    const std::string head =
        lowerASCII(reference.substr(0, std::min<std::size_t>(reference.size(), 64)));
    const std::size_t comma = reference.find(',');
    if (!head.starts_with("data:image/") || comma == std::string_view::npos ||
        head.substr(0, std::min(comma, head.size())).find(";base64") == std::string::npos)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve((reference.size() - comma) / 4 * 3);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : reference.substr(comma + 1)) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=' || c == ' ' || c == '\n' || c == '\r' || c == '\t')
            continue;
        else
            return std::nullopt;
        bits = bits << 6 | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
            bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
            bytes.push_back(static_cast<std::uint8_t>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 3) {
        bytes.push_back(static_cast<std::uint8_t>(bits >> 10));
        bytes.push_back(static_cast<std::uint8_t>(bits >> 2));
    } else if (count == 2) {
        bytes.push_back(static_cast<std::uint8_t>(bits >> 4));
    }
    return bytes;
}

// A file or the bytes of a data URI. Pictures decode in the image module, so only a page that
// shows one loads it.
template <typename Input> std::optional<platform::HtmlPicture> decodePicture(const Input& input) {
    try {
        auto decoded = image::decodePagePicture(input, kLongestPictureSide);
        return platform::HtmlPicture{decoded.width, decoded.height, std::move(decoded.rgba)};
    } catch (const std::exception&) {
        return std::nullopt; // an unreadable picture is left out, as a browser would
    }
}

platform::HtmlResources resourcesBelow(const std::optional<std::filesystem::path>& folder) {
    return {
        .picture = [folder](const std::string& reference) -> std::optional<platform::HtmlPicture> {
            if (const auto bytes = dataURIPicture(reference))
                return decodePicture(*bytes);
            const auto file = folder ? localResource(*folder, reference) : std::nullopt;
            return file ? decodePicture(*file) : std::nullopt;
        },
        .styleSheet = [folder](const std::string& reference) -> std::optional<std::string> {
            const auto file = folder ? localResource(*folder, reference) : std::nullopt;
            return file ? readSmallFile(*file) : std::nullopt;
        },
    };
}

} // namespace

std::string withLightPage(const std::string& html) {
    const std::string lower = lowerASCII(html);
    if (lower.find("<head") == std::string::npos) {
        std::string out = "<!doctype html><html><head>";
        out += kLightStyle;
        out += "</head><body>";
        out += html;
        out += "</body></html>";
        return out;
    }
    std::string out;
    out.reserve(html.size() + 2 * kLightStyle.size());
    std::size_t copied = 0;
    for (std::size_t at = lower.find("<head"); at != std::string::npos;
         at = lower.find("<head", at)) {
        const std::size_t close = lower.find('>', at);
        if (close == std::string::npos)
            break;
        out.append(html, copied, close + 1 - copied);
        out += kLightStyle;
        copied = close + 1;
        at = close + 1;
    }
    out.append(html, copied);
    return out;
}

namespace {

// Where a page that starts at `top` ends, at most at `end`: above the highest band that the edge
// would split, again while the new edge splits another. Once moved, the edge may cut a band's
// bottom quarter: table rows share a collapsed border, and lines set tighter than their glyph
// boxes overlap, so a strict rule would climb row by row up to the page's top. Should the edge
// still climb above half a page, it takes the first move only.
int pageEdge(int top, int end, const std::vector<platform::HtmlBand>& bands, std::size_t from) {
    const auto split = [&](int edge, bool strict) -> std::optional<int> {
        // Only the page's own bands, from `from`, the first below its top: a long table has
        // tens of thousands.
        for (std::size_t i = from; i < bands.size(); ++i) {
            const auto& band = bands[i];
            if (band.top >= edge)
                break;
            const int below = band.bottom - edge;
            if (band.top > top && below > 0 && (strict || below * 4 >= band.bottom - band.top))
                return band.top;
        }
        return std::nullopt;
    };
    const auto first = split(end, true);
    if (!first)
        return end;
    int edge = *first;
    while (const auto higher = split(edge, false))
        edge = *higher;
    return edge - top >= kPageRows / 2 ? edge : *first;
}

} // namespace

std::vector<PageSlice> pageSlices(int contentHeight, std::vector<platform::HtmlBand> bands) {
    std::vector<PageSlice> slices;
    const int height = std::max(contentHeight, 0);
    // Bands that fit on a page, by top edge; taller ones are cut wherever the page ends.
    std::erase_if(bands, [](const platform::HtmlBand& band) {
        return band.bottom - band.top > kPageRows || band.bottom <= band.top;
    });
    std::sort(bands.begin(), bands.end(),
              [](const auto& a, const auto& b) { return a.top < b.top; });
    int top = 0;
    std::size_t first = 0; // the first band that starts below the page's top
    do {
        while (first < bands.size() && bands[first].top <= top)
            ++first;
        int end = std::min(top + kPageRows, height);
        if (end < height)
            end = pageEdge(top, end, bands, first);
        const int rows = end - top;
        // A last sliver of a pixel or less is not worth a page.
        if (rows > 1 || slices.empty())
            slices.push_back({top, rows});
        top = end;
    } while (top < height);
    if (slices.size() == 1 && slices.front().rows <= 1)
        slices.clear();
    return slices;
}

std::optional<std::filesystem::path> localResource(const std::filesystem::path& folder,
                                                   const std::string& reference) {
    std::string_view ref = reference;
    while (!ref.empty() && (ref.front() == ' ' || ref.front() == '\t' || ref.front() == '\n'))
        ref.remove_prefix(1);
    if (const std::size_t cut = ref.find_first_of("?#"); cut != std::string_view::npos)
        ref = ref.substr(0, cut);
    if (ref.empty() || ref.starts_with("//"))
        return std::nullopt;
    const std::string lower = lowerASCII(ref);
    if (lower.starts_with("file://")) {
        ref.remove_prefix(7);
        if (!ref.starts_with("/"))
            return std::nullopt; // file://host/… names another machine
    } else if (const std::size_t colon = ref.find(':');
               colon != std::string_view::npos && ref.find('/') > colon) {
        return std::nullopt; // http:, data:, javascript: and every other scheme
    }
    const std::filesystem::path named(percentDecoded(ref));
    std::error_code error;
    const auto base = std::filesystem::canonical(folder, error);
    if (error)
        return std::nullopt;
    const auto file = std::filesystem::canonical(named.is_absolute() ? named : base / named, error);
    if (error || !std::filesystem::is_regular_file(file, error))
        return std::nullopt;
    // Inside the folder, symbolic links resolved: no "..", absolute path or link leads out.
    const auto [baseEnd, fileAt] =
        std::mismatch(base.begin(), base.end(), file.begin(), file.end());
    if (baseEnd != base.end())
        return std::nullopt;
    return file;
}

std::filesystem::path renderHTMLToPDF(const std::string& html,
                                      const std::optional<std::filesystem::path>& folder,
                                      const std::filesystem::path& output, std::stop_token stop) {
    platform::useSystemFontConfig();
    const std::string page = withLightPage(html);
    std::optional<platform::HtmlLayout> layout;
    try {
        layout.emplace(page, std::string(kDefaultStyle), kLayoutWidth, resourcesBelow(folder));
    } catch (const PlatformError& e) {
        throw ConversionError::exportSessionFailed(std::string("HTML layout: ") + e.what());
    }
    const auto slices = pageSlices(layout->height(), layout->bands());
    if (slices.empty())
        throw ConversionError::failedToCreateOutput();

    PendingOutput pending(output);
    try {
        platform::PdfPages pages(pending.path());
        for (const auto& slice : slices) {
            if (stop.stop_requested())
                throw ConversionError::cancelled();
            // Every page is Letter except a shorter last one, which is as tall as what is left.
            const int pageRows = &slice == &slices.back() ? slice.rows : kPageRows;
            pages.beginPage(kLayoutWidth * kPointsPerPixel, pageRows * kPointsPerPixel);
            layout->drawSlice(pages, slice.top, slice.rows, kPointsPerPixel);
        }
        pages.finish();
    } catch (const PlatformError&) {
        throw ConversionError::failedToCreateOutput();
    }
    return pending.commit();
}

} // namespace kv::DocumentConverter
