// HTML writer.
#include "document/richtext/html_writer.h"

#include "document/richtext/paragraphs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

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

// A share of a width as a CSS percentage; tiny shares stay in plain notation ("%g" would write
// "1e-05", which CSS does not read).
std::string percent(double share) {
    return number(std::max(share * 100, 0.01)) + "%";
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

// The page's body: paragraphs, tables and pictures in text order.
class BodyWriter {
  public:
    BodyWriter(const RichText& text, std::string& out)
        : m_text(text), m_out(out), m_body(bodyPointSize(text)) {}

    void write() {
        // Table rows are lines of the text that the tables list, in order.
        const auto& tables = m_text.tables();
        forEachParagraph(m_text, [&](std::size_t start, std::size_t length) {
            if (m_table < tables.size() &&
                tables[m_table].rows[m_row].cells.front().start == start) {
                const Table& table = tables[m_table];
                if (m_row == 0) {
                    openTable(table);
                    m_nested = 0;
                }
                writeRow(table, table.rows[m_row], m_nested);
                if (++m_row == table.rows.size()) {
                    m_out += "</table>\n";
                    ++m_table;
                    m_row = 0;
                }
                return;
            }
            paragraph(start, length);
        });
        if (m_table < tables.size() && m_row > 0)
            m_out += "</table>\n";
        if (const std::string rest = picturesUpTo(m_text.length()); !rest.empty())
            m_out += "<p>" + rest + "</p>\n";
    }

  private:
    // Pictures open the paragraph or cell they are in, ahead of its text.
    std::string picturesUpTo(std::size_t end) {
        const auto& pictures = m_text.pictures();
        std::string html;
        for (; m_picture < pictures.size() && pictures[m_picture].offset <= end; ++m_picture)
            appendPicture(html, pictures[m_picture]);
        return html;
    }

    void paragraph(std::size_t start, std::size_t length) {
        const std::string_view plain = std::string_view(m_text.string()).substr(start, length);
        const std::string inParagraph = picturesUpTo(start + length);
        if (plain.empty()) {
            m_out += inParagraph.empty() ? "<p><br></p>\n" : "<p>" + inParagraph + "</p>\n";
            return;
        }
        const TextRun* first = m_text.runAt(start);
        const int level = first == nullptr ? 0 : headingLevel(first->attributes, m_body);
        const std::string tag = level > 0 ? "h" + std::to_string(level) : "p";
        m_out += "<" + tag;
        if (needsPreservedSpace(plain))
            m_out += " style=\"white-space:pre-wrap\"";
        m_out += ">";
        m_out += inParagraph;
        writeRuns(m_out, m_text, start, length, level, m_body);
        m_out += "</" + tag + ">\n";
    }

    void openTable(const Table& table) {
        m_out += "<table style=\"";
        if (table.width > 0)
            m_out += "width:" + percent(table.width) + ";";
        m_out += "border-collapse:collapse;border-spacing:0;margin:0.6em 0\">\n";
    }

    // A table inside a cell, whole; `nested` counts the tables inside it already written.
    void writeTable(const Table& table) {
        openTable(table);
        std::size_t nested = 0;
        for (const TableRow& row : table.rows)
            writeRow(table, row, nested);
        m_out += "</table>\n";
    }

    void writeRow(const Table& table, const TableRow& row, std::size_t& nested) {
        const std::string_view lines = table.borders ? "border:1px solid #000;" : "";
        const std::vector<double>& widths = table.columnWidths;
        const double total = std::accumulate(widths.begin(), widths.end(), 0.0);
        const std::string& plain = m_text.string();
        m_out += "<tr>";
        std::size_t column = row.columnsBefore;
        if (column > 0)
            m_out += "<td colspan=\"" + std::to_string(column) + "\" style=\"padding:0\"></td>";
        for (std::size_t c = 0; c < row.cells.size(); ++c) {
            const TableCell& cell = row.cells[c];
            // Up to the next cell's separating tab; a row's trimmed end has none.
            std::size_t to = c + 1 < row.cells.size() ? row.cells[c + 1].start : row.end;
            if (c + 1 < row.cells.size() && to > cell.start && plain[to - 1] == '\t')
                --to;
            to = std::max(to, cell.start);
            const std::size_t first = column;
            column += cell.columns;
            if (cell.rows == 0)
                continue; // covered by a cell above that spans down
            m_out += "<td";
            if (cell.columns > 1)
                m_out += " colspan=\"" + std::to_string(cell.columns) + "\"";
            if (cell.rows > 1)
                m_out += " rowspan=\"" + std::to_string(cell.rows) + "\"";
            m_out += " style=\"";
            if (total > 0 && column <= widths.size()) {
                const auto from = widths.begin() + static_cast<std::ptrdiff_t>(first);
                const double share =
                    std::accumulate(from, widths.begin() + static_cast<std::ptrdiff_t>(column),
                                    0.0) /
                    total;
                m_out += "width:" + percent(share) + ";";
            }
            m_out += lines;
            // Word's cells start at the top unless set otherwise; HTML's in the middle.
            m_out += cell.alignment == CellAlignment::middle
                         ? "padding:2px 6px;vertical-align:middle\">"
                     : cell.alignment == CellAlignment::bottom
                         ? "padding:2px 6px;vertical-align:bottom\">"
                         : "padding:2px 6px;vertical-align:top\">";
            writeCell(table, cell.start, to, nested);
            m_out += "</td>";
        }
        m_out += "</tr>\n";
    }

    // The text of [from, to) with the tables inside it drawn as tables.
    void writeCell(const Table& table, std::size_t from, std::size_t to, std::size_t& nested) {
        std::size_t at = from;
        for (; nested < table.nested.size(); ++nested) {
            const Table& inner = table.nested[nested];
            const std::size_t innerStart = inner.rows.front().cells.front().start;
            const std::size_t innerEnd = inner.rows.back().end;
            if (innerStart < at)
                continue; // already written as text
            if (innerStart > to || innerEnd > to)
                break; // in a later cell
            m_out += innerStart > 0 ? picturesUpTo(innerStart - 1) : std::string();
            writeRuns(m_out, m_text, at, innerStart - at, 0, m_body);
            writeTable(inner);
            at = std::max(innerEnd, innerStart);
        }
        m_out += picturesUpTo(to);
        writeRuns(m_out, m_text, at, to - at, 0, m_body);
    }

    const RichText& m_text;
    std::string& m_out;
    const double m_body;
    std::size_t m_picture = 0; // the next picture to write
    std::size_t m_table = 0;   // the top-level table whose rows come next …
    std::size_t m_row = 0;     // … this one of them
    std::size_t m_nested = 0;  // tables inside its cells already written
};

} // namespace

std::string writeHTML(const RichText& text, std::string_view title) {
    std::string out;
    out.reserve(text.length() * 2 + 512);
    out += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"UTF-8\">\n<title>";
    appendEscaped(out, title, false);
    out += "</title>\n<style>body{font-size:" + number(bodyPointSize(text)) +
           "pt;line-height:1.4;}p{margin:0 0 0.6em 0;}</style>\n</head>\n<body>\n";
    BodyWriter(text, out).write();
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
