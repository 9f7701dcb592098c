// A table of text cells in one buffer.
#include "data/table.h"

#include <algorithm>

namespace kv::DataConverter {

Table Table::fromRows(const std::vector<std::vector<std::string>>& rows) {
    Table table;
    for (const auto& row : rows) {
        for (const auto& cell : row)
            table.addCell(cell);
        table.endRow();
    }
    return table;
}

std::size_t Table::width() const {
    std::size_t widest = 0;
    for (std::size_t r = 0; r < rowCount(); ++r)
        widest = std::max(widest, m_rowBounds[r + 1] - m_rowBounds[r]);
    return widest;
}

void Table::discardOpenRow() {
    m_cellBounds.resize(m_rowBounds.back() + 1);
    m_text.resize(m_cellBounds.back());
}

void Table::truncateRows(std::size_t count) {
    if (count >= rowCount())
        return;
    m_rowBounds.resize(count + 1);
    m_cellBounds.resize(m_rowBounds.back() + 1);
    m_text.resize(m_cellBounds.back());
}

void Table::prependRowAndPad(const std::vector<std::string>& header, std::size_t width) {
    std::string prefix;
    OffsetList cells = startingAtZero();
    OffsetList rows = startingAtZero();
    for (const auto& name : header) {
        prefix += name;
        cells.push_back(prefix.size());
    }
    rows.push_back(cells.size() - 1);
    std::size_t total = cells.size() - 1;
    for (std::size_t r = 0; r < rowCount(); ++r)
        total += std::max<std::size_t>(width, m_rowBounds[r + 1] - m_rowBounds[r]);
    cells.reserve(total + 1);
    rows.reserve(rowCount() + 2);
    const std::size_t shift = prefix.size();
    for (std::size_t r = 0; r < rowCount(); ++r) {
        const std::size_t first = m_rowBounds[r];
        const std::size_t last = m_rowBounds[r + 1];
        for (std::size_t k = first; k < last; ++k)
            cells.push_back(m_cellBounds[k + 1] + shift);
        for (std::size_t k = last - first; k < width; ++k)
            cells.push_back(cells.back());
        rows.push_back(cells.size() - 1);
    }
    m_text.insert(0, prefix);
    m_cellBounds = std::move(cells);
    m_rowBounds = std::move(rows);
}

std::vector<std::vector<std::string>> Table::toRows() const {
    std::vector<std::vector<std::string>> rows(rowCount());
    for (std::size_t r = 0; r < rowCount(); ++r) {
        const Row cells = row(r);
        for (std::size_t c = 0; c < cells.size(); ++c)
            rows[r].emplace_back(cells[c]);
    }
    return rows;
}

} // namespace kv::DataConverter
