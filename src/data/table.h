// A table of text cells: rows of cells, ragged allowed, all bytes in one buffer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kv::DataConverter {

/// Rows of cells. Cell k occupies bytes [bound k, bound k+1) of one shared buffer, so a table of
/// millions of cells costs one offset per cell rather than one string each.
class Table {
public:
    class Row {
    public:
        std::size_t size() const { return m_end - m_begin; }
        bool empty() const { return m_begin == m_end; }
        std::string_view operator[](std::size_t column) const { return m_table->cellAt(m_begin + column); }

    private:
        friend class Table;
        Row(const Table* table, std::size_t begin, std::size_t end) : m_table(table), m_begin(begin), m_end(end) {}
        const Table* m_table;
        std::size_t m_begin;
        std::size_t m_end;
    };

    Table() = default;
    /// Builds a table from explicit rows (convenient for small tables).
    static Table fromRows(const std::vector<std::vector<std::string>>& rows);

    std::size_t rowCount() const { return m_rowBounds.size() - 1; }
    bool empty() const { return rowCount() == 0; }
    Row row(std::size_t index) const { return {this, m_rowBounds[index], m_rowBounds[index + 1]}; }
    /// The largest number of cells in a row.
    std::size_t width() const;

    /// Appends a cell to the row being built; `endRow` closes that row.
    void addCell(std::string_view text) {
        m_text.append(text);
        m_cellBounds.push_back(m_text.size());
    }
    void endRow() { m_rowBounds.push_back(m_cellBounds.size() - 1); }
    /// Cells added since the last endRow.
    std::size_t openCells() const { return m_cellBounds.size() - 1 - m_rowBounds.back(); }
    /// Drops every cell added since the last endRow.
    void discardOpenRow();

    /// Keeps only the first `count` rows.
    void truncateRows(std::size_t count);
    /// Puts `header` in front as the first row and pads every later row with empty cells to
    /// `width` cells.
    void prependRowAndPad(const std::vector<std::string>& header, std::size_t width);

    std::vector<std::vector<std::string>> toRows() const;

private:
    friend Table parseDelimited(std::string text, char delimiter);
    std::string_view cellAt(std::size_t k) const {
        return std::string_view(m_text).substr(m_cellBounds[k], m_cellBounds[k + 1] - m_cellBounds[k]);
    }

    std::string m_text;
    std::vector<std::size_t> m_cellBounds{0};
    std::vector<std::size_t> m_rowBounds{0};
};

}  // namespace kv::DataConverter
