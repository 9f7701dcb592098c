// HTML writer.
#include "document/richtext/html_writer.h"

#include "document/richtext/paragraphs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kv::richtext {
namespace {

void appendEscaped(std::string& out, std::string_view text, bool attribute) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (attribute)
                out += "&quot;";
            else
                out += c;
            break;
        case '\r': break;
        default: out += c;
        }
    }
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", value);
    return buffer;
}

// Tabs, doubled spaces and spaces at either end only survive HTML with white-space preserved.
bool needsPreservedSpace(std::string_view text) {
    return text.find('\t') != std::string_view::npos || text.find("  ") != std::string_view::npos ||
           (!text.empty() && (text.front() == ' ' || text.back() == ' '));
}

void appendBase64(std::string& out, const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out += kDigits[(v >> shift) & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const std::uint32_t v = bytes[i] << 16 | (two ? bytes[i + 1] << 8 : 0);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += two ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
}

std::string_view mediaType(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() >= 4 && bytes[0] == 0x89 && bytes[1] == 'P')
        return "image/png";
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8)
        return "image/jpeg";
    if (bytes.size() >= 4 && bytes[0] == 'G' && bytes[1] == 'I')
        return "image/gif";
    return {};
}

// A picture inside the page itself, at its size in CSS pixels (96 per inch).
void appendPicture(std::string& out, const Picture& picture) {
    const std::string_view type = mediaType(picture.bytes);
    if (type.empty())
        return;
    out += "<img src=\"data:";
    out += type;
    out += ";base64,";
    appendBase64(out, picture.bytes);
    out += "\"";
    if (picture.width > 0 && picture.height > 0)
        out += " width=\"" + std::to_string(std::lround(picture.width * 96 / 72)) + "\" height=\"" +
               std::to_string(std::lround(picture.height * 96 / 72)) + "\"";
    out += " alt=\"\">";
}

void writeRuns(std::string& out, const RichText& text, std::size_t start, std::size_t length,
               int level, double body);

} // namespace

std::string writeHTML(const RichText& text, std::string_view title) {
    const double body = bodyPointSize(text);
    std::string out;
    out.reserve(text.length() * 2 + 512);
    out += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"UTF-8\">\n<title>";
    appendEscaped(out, title, false);
    out += "</title>\n<style>body{font-size:" + number(body) +
           "pt;line-height:1.4;}p{margin:0 0 0.6em 0;}</style>\n</head>\n<body>\n";

    // Pictures open the paragraph they are in, ahead of its text.
    const auto& pictures = text.pictures();
    std::size_t nextPicture = 0;
    const auto picturesUpTo = [&](std::size_t end) {
        std::string html;
        for (; nextPicture < pictures.size() && pictures[nextPicture].offset <= end; ++nextPicture)
            appendPicture(html, pictures[nextPicture]);
        return html;
    };
    // Table rows are lines of the text that the tables list, in order.
    const auto& tables = text.tables();
    std::size_t table = 0, row = 0;
    forEachParagraph(text, [&](std::size_t start, std::size_t length) {
        const std::string_view plain = std::string_view(text.string()).substr(start, length);
        if (table < tables.size() && tables[table].rows[row].cells.front() == start) {
            const TableRow& cells = tables[table].rows[row];
            const std::string cellStyle = tables[table].borders
                                              ? " style=\"border:1px solid #000;padding:2px 6px\""
                                              : " style=\"padding:2px 6px\"";
            if (row == 0)
                out +=
                    "<table style=\"border-collapse:collapse;border-spacing:0;margin:0.6em 0\">\n";
            out += "<tr>";
            for (std::size_t c = 0; c < cells.cells.size(); ++c) {
                const std::size_t from = cells.cells[c];
                // Up to the next cell's separating tab; a row's trimmed end has none.
                std::size_t to = c + 1 < cells.cells.size() ? cells.cells[c + 1] : cells.end;
                if (c + 1 < cells.cells.size() && to > from && text.string()[to - 1] == '\t')
                    --to;
                out += "<td" + cellStyle + ">";
                out += picturesUpTo(to);
                writeRuns(out, text, from, std::max(to, from) - from, 0, body);
                out += "</td>";
            }
            out += "</tr>\n";
            if (++row == tables[table].rows.size()) {
                out += "</table>\n";
                ++table;
                row = 0;
            }
            return;
        }
        const std::string inParagraph = picturesUpTo(start + length);
        if (plain.empty()) {
            out += inParagraph.empty() ? "<p><br></p>\n" : "<p>" + inParagraph + "</p>\n";
            return;
        }
        const TextRun* first = text.runAt(start);
        const int level = first == nullptr ? 0 : headingLevel(first->attributes, body);
        const std::string tag = level > 0 ? "h" + std::to_string(level) : "p";
        out += "<" + tag;
        if (needsPreservedSpace(plain))
            out += " style=\"white-space:pre-wrap\"";
        out += ">";
        out += inParagraph;

        writeRuns(out, text, start, length, level, body);
        out += "</" + tag + ">\n";
    });
    if (table < tables.size() && row > 0)
        out += "</table>\n";
    if (const std::string rest = picturesUpTo(text.length()); !rest.empty())
        out += "<p>" + rest + "</p>\n";
    out += "</body>\n</html>\n";
    return out;
}

namespace {

// The text of [start, start + length) in its runs' faces and links; `level` > 0 inside a heading.
void writeRuns(std::string& out, const RichText& text, std::size_t start, std::size_t length,
               int level, double body) {
    {
        const auto runs = text.runsIn(start, length);
        for (std::size_t i = 0; i < runs.size();) {
            // Consecutive runs with one link share one anchor.
            const std::string& link = runs[i].attributes.link;
            if (!link.empty()) {
                out += "<a href=\"";
                appendEscaped(out, link, true);
                out += "\">";
            }
            for (; i < runs.size() && runs[i].attributes.link == link; ++i) {
                const TextAttributes& a = runs[i].attributes;
                std::string close;
                const bool bold = level > 0 ? !a.bold : a.bold; // headings are bold already
                if (level == 0 && std::fabs(a.pointSize - body) > 0.01) {
                    out += "<span style=\"font-size:" + number(a.pointSize / std::max(body, 1.0)) +
                           "em\">";
                    close = "</span>" + close;
                }
                if (bold) {
                    out += level > 0 ? "<span style=\"font-weight:normal\">" : "<strong>";
                    close = (level > 0 ? "</span>" : "</strong>") + close;
                }
                if (a.italic) {
                    out += "<em>";
                    close = "</em>" + close;
                }
                if (a.monospace) {
                    out += "<code>";
                    close = "</code>" + close;
                }
                appendEscaped(out,
                              std::string_view(text.string()).substr(runs[i].start, runs[i].length),
                              false);
                out += close;
            }
            if (!link.empty())
                out += "</a>";
        }
    }
}

} // namespace

} // namespace kv::richtext
