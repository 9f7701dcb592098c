// CSV/TSV reader and writer: one pass over the whole buffer, cells rewritten in place.
#include "data/delimited.h"

#include <array>
#include <cstring>

namespace kv::DataConverter {
namespace {

// Bytes that end a run of plain field characters outside quotes.
std::array<bool, 256> specialBytes(char delimiter) {
    std::array<bool, 256> special{};
    for (char c : {delimiter, '"', '\n', '\r'})
        special[static_cast<unsigned char>(c)] = true;
    return special;
}

} // namespace

Table parseDelimited(std::string text, char delimiter) {
    Table table;
    table.m_text = std::move(text);
    char* const s = table.m_text.data();
    const std::size_t n = table.m_text.size();
    const auto special = specialBytes(delimiter);
    auto& cells = table.m_cellBounds;
    auto& rows = table.m_rowBounds;
    // At most one cell per delimiter or line end and one row per line end: reserving that bound
    // avoids the growth that would hold the old and the new list at once.
    std::size_t lineEnds = 0;
    std::size_t delimiters = 0;
    for (std::size_t i = 0; i < n; ++i) {
        lineEnds += s[i] == '\n' || s[i] == '\r';
        delimiters += s[i] == delimiter;
    }
    cells.reserve(lineEnds + delimiters + 2);
    rows.reserve(lineEnds + 2);

    // Unquoting only ever shortens a cell, so cells are written back into the same buffer at `w`
    // while reading at `r` (w <= r throughout).
    std::size_t r = 0;
    std::size_t w = 0;
    bool inQuotes = false;
    const auto endRow = [&] {
        cells.push_back(w);
        const std::size_t rowCells = cells.size() - 1 - rows.back();
        if (rowCells == 1 && cells[cells.size() - 2] == w) {
            cells.pop_back(); // a blank line: exactly one empty field
        } else {
            rows.push_back(cells.size() - 1);
        }
    };
    const auto copy = [&](std::size_t from, std::size_t to) {
        if (w != from)
            std::memmove(s + w, s + from, to - from);
        w += to - from;
    };

    while (r < n) {
        if (inQuotes) {
            const void* quote = std::memchr(s + r, '"', n - r);
            const std::size_t stop =
                quote ? static_cast<std::size_t>(static_cast<const char*>(quote) - s) : n;
            copy(r, stop);
            r = stop;
            if (r == n)
                break;
            if (r + 1 < n && s[r + 1] == '"') {
                s[w++] = '"';
                r += 2;
            } else {
                inQuotes = false;
                ++r;
            }
            continue;
        }
        const std::size_t start = r;
        while (r < n && !special[static_cast<unsigned char>(s[r])])
            ++r;
        copy(start, r);
        if (r == n)
            break;
        const char c = s[r++];
        if (c == '"') {
            inQuotes = true;
        } else if (c == delimiter) {
            cells.push_back(w);
        } else {
            endRow();
            if (c == '\r' && r < n && s[r] == '\n')
                ++r;
        }
    }
    const bool fieldEmpty = w == cells.back();
    const bool rowEmpty = cells.size() - 1 == rows.back();
    if (!(fieldEmpty && rowEmpty))
        endRow();
    table.m_text.resize(w);
    return table;
}

void writeDelimited(const Table& table, char delimiter, TextOutput& out) {
    const auto special = specialBytes(delimiter);
    for (std::size_t r = 0; r < table.rowCount(); ++r) {
        const Table::Row row = table.row(r);
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c > 0)
                out.append(delimiter);
            const std::string_view cell = row[c];
            bool needsQuotes = false;
            for (char ch : cell) {
                if (special[static_cast<unsigned char>(ch)]) {
                    needsQuotes = true;
                    break;
                }
            }
            if (!needsQuotes) {
                out.append(cell);
                continue;
            }
            out.append('"');
            std::size_t from = 0;
            for (std::size_t quote = cell.find('"'); quote != std::string_view::npos;
                 quote = cell.find('"', from)) {
                out.append(cell.substr(from, quote + 1 - from));
                out.append('"');
                from = quote + 1;
            }
            out.append(cell.substr(from));
            out.append('"');
        }
        out.append('\n');
    }
}

std::string writeDelimited(const Table& table, char delimiter) {
    TextOutput out;
    writeDelimited(table, delimiter, out);
    return out.take();
}

} // namespace kv::DataConverter
