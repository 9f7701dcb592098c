// A table of text cells: rows of cells, ragged allowed, all bytes in one buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::DataConverter {

/// A non-decreasing list of 64-bit offsets stored as 32-bit values: each time the values pass
/// another 4 GiB, the index where that happened is noted. Half the memory of 64-bit offsets,
/// which matters for a table of 100 million one-byte cells.
class OffsetList {
  public:
    std::size_t size() const { return m_low.size(); }
    void reserve(std::size_t n) { m_low.reserve(n); }
    std::uint64_t operator[](std::size_t k) const {
        const auto high = static_cast<std::uint64_t>(
            std::upper_bound(m_raises.begin(), m_raises.end(), k) - m_raises.begin());
        return (high << 32) | m_low[k];
    }
    std::uint64_t back() const { return (*this)[size() - 1]; }
    void push_back(std::uint64_t value) {
        while ((value >> 32) > m_raises.size())
            m_raises.push_back(m_low.size());
        m_low.push_back(static_cast<std::uint32_t>(value));
    }
    void pop_back() { resize(size() - 1); }
    /// Shrinks to the first `n` offsets.
    void resize(std::size_t n) {
        m_low.resize(std::min(n, m_low.size()));
        while (!m_raises.empty() && m_raises.back() >= m_low.size())
            m_raises.pop_back();
    }

  private:
    std::vector<std::uint32_t> m_low;
    std::vector<std::size_t> m_raises; // index of the first value at or past each further 4 GiB
};

/// Rows of cells. Cell k occupies bytes [bound k, bound k+1) of one shared buffer, so a table of
/// millions of cells costs one 4-byte offset per cell rather than one string each.
class Table {
  public:
    class Row {
      public:
        std::size_t size() const { return m_end - m_begin; }
        bool empty() const { return m_begin == m_end; }
        std::string_view operator[](std::size_t column) const {
            return m_table->cellAt(m_begin + column);
        }

      private:
        friend class Table;
        Row(const Table* table, std::size_t begin, std::size_t end)
            : m_table(table), m_begin(begin), m_end(end) {}
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
        const std::uint64_t begin = m_cellBounds[k];
        return std::string_view(m_text).substr(begin, m_cellBounds[k + 1] - begin);
    }
    static OffsetList startingAtZero() {
        OffsetList list;
        list.push_back(0);
        return list;
    }

    std::string m_text;
    OffsetList m_cellBounds = startingAtZero();
    OffsetList m_rowBounds = startingAtZero();
};

} // namespace kv::DataConverter
