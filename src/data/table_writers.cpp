// HTML page and Markdown pipe-table writers.
#include "data/table_writers.h"

namespace kv::DataConverter {
namespace {

constexpr std::string_view kPageHead =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"UTF-8\"><title>";
constexpr std::string_view kPageStyle =
    "</title>\n<style>\n"
    "body{font-family:-apple-system,BlinkMacSystemFont,\"SF Pro "
    "Text\",sans-serif;margin:2rem;color:#111}\n"
    "table{border-collapse:collapse;width:100%;font-size:14px}\n"
    "th,td{border:1px solid #ddd;padding:8px 10px;text-align:left}\n"
    "th{background:#f5f5f7;font-weight:600}\n"
    "tr:nth-child(even) td{background:#fafafa}\n"
    "</style></head>\n<body>\n<table>\n";
constexpr std::string_view kPageTail = "</table>\n</body>\n</html>\n";

void appendEscapedHTML(std::string_view text, TextOutput& out) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string_view entity;
        switch (text[i]) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        default: continue;
        }
        out.append(text.substr(from, i - from));
        out.append(entity);
        from = i + 1;
    }
    out.append(text.substr(from));
}

void appendMarkdownCell(std::string_view cell, TextOutput& out) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < cell.size(); ++i) {
        if (cell[i] != '|' && cell[i] != '\n')
            continue;
        out.append(cell.substr(from, i - from));
        out.append(cell[i] == '|' ? std::string_view("\\|") : std::string_view(" "));
        from = i + 1;
    }
    out.append(cell.substr(from));
}

void appendMarkdownRow(const Table::Row& row, std::size_t width, TextOutput& out) {
    out.append("| ");
    for (std::size_t c = 0; c < width; ++c) {
        if (c > 0)
            out.append(" | ");
        if (c < row.size())
            appendMarkdownCell(row[c], out);
    }
    out.append(" |\n");
}

} // namespace

void writeHTMLTable(const Table& table, std::string_view title, TextOutput& out) {
    out.append(kPageHead);
    appendEscapedHTML(title, out);
    out.append(kPageStyle);
    for (std::size_t r = 0; r < table.rowCount(); ++r) {
        const Table::Row row = table.row(r);
        const std::string_view open = r == 0 ? "<th>" : "<td>";
        const std::string_view close = r == 0 ? "</th>" : "</td>";
        out.append("<tr>");
        for (std::size_t c = 0; c < row.size(); ++c) {
            out.append(open);
            appendEscapedHTML(row[c], out);
            out.append(close);
        }
        out.append("</tr>\n");
    }
    out.append(kPageTail);
}

std::string writeHTMLTable(const Table& table, std::string_view title) {
    TextOutput out;
    writeHTMLTable(table, title, out);
    return out.take();
}

void writeMarkdownTable(const Table& table, TextOutput& out) {
    if (table.empty())
        return;
    const std::size_t width = table.width();
    appendMarkdownRow(table.row(0), width, out);
    out.append("| ");
    for (std::size_t c = 0; c < width; ++c)
        out.append(c > 0 ? " | ---" : "---");
    out.append(" |\n");
    for (std::size_t r = 1; r < table.rowCount(); ++r)
        appendMarkdownRow(table.row(r), width, out);
}

std::string writeMarkdownTable(const Table& table) {
    TextOutput out;
    writeMarkdownTable(table, out);
    return out.take();
}

} // namespace kv::DataConverter
