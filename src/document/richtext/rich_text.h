// The rich-text model: UTF-8 text with runs of character attributes; "\n" ends a paragraph.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kv::richtext {

/// An immutable string that copies share (a link target, a font family): the runs of a long
/// document repeat a few of them thousands of times, each copy costing one pointer.
class SharedString {
  public:
    SharedString() = default;
    explicit SharedString(std::string_view text) { assign(text); }
    SharedString(const SharedString& other) : m_block(other.m_block) { retain(); }
    SharedString(SharedString&& other) noexcept : m_block(other.m_block) {
        other.m_block = nullptr;
    }
    SharedString& operator=(const SharedString& other) {
        if (m_block != other.m_block) {
            release();
            m_block = other.m_block;
            retain();
        }
        return *this;
    }
    SharedString& operator=(SharedString&& other) noexcept {
        if (this != &other) {
            release();
            m_block = other.m_block;
            other.m_block = nullptr;
        }
        return *this;
    }
    SharedString& operator=(std::string_view text) {
        assign(text);
        return *this;
    }
    ~SharedString() { release(); }

    const std::string& str() const { return m_block == nullptr ? emptyString() : m_block->text; }
    operator const std::string&() const { return str(); }
    operator std::string_view() const { return str(); }
    bool empty() const { return m_block == nullptr; }
    std::size_t size() const { return str().size(); }
    char front() const { return str().front(); }
    void clear() {
        release();
        m_block = nullptr;
    }

    friend bool operator==(const SharedString& a, const SharedString& b) {
        return a.m_block == b.m_block || a.str() == b.str();
    }
    friend bool operator==(const SharedString& a, std::string_view b) { return a.str() == b; }
    friend std::ostream& operator<<(std::ostream& out, const SharedString& s) {
        return out << s.str();
    }

  private:
    struct Block {
        std::atomic<std::size_t> references{1};
        std::string text;
    };
    static const std::string& emptyString() {
        static const std::string empty;
        return empty;
    }
    void assign(std::string_view text) {
        release();
        m_block = text.empty() ? nullptr : new Block{1, std::string(text)};
    }
    void retain() {
        if (m_block != nullptr)
            m_block->references.fetch_add(1, std::memory_order_relaxed);
    }
    void release() {
        if (m_block != nullptr && m_block->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete m_block;
        m_block = nullptr;
    }
    Block* m_block = nullptr;
};

/// Character attributes of one run. Sizes are in points.
struct TextAttributes {
    double pointSize = 12.0;
    bool bold = false;
    bool italic = false;
    bool monospace = false;
    SharedString family; // empty: the writer's default face
    SharedString link;   // empty: not a link; else a URL or the link string as written

    /// The font alone (size, traits, family), without the link.
    bool sameFont(const TextAttributes& other) const {
        return pointSize == other.pointSize && bold == other.bold && italic == other.italic &&
               monospace == other.monospace && family == other.family;
    }
    bool operator==(const TextAttributes& other) const = default;
};

/// A stretch of the text in one set of attributes; offsets are UTF-8 byte offsets.
struct TextRun {
    std::size_t start = 0;
    std::size_t length = 0;
    TextAttributes attributes;
    std::size_t end() const { return start + length; }
    bool operator==(const TextRun& other) const = default;
};

/// Body text as word processors set it; headings h1–h6 as they map structure to sizes.
constexpr double kBodyPointSize = 12.0;
constexpr std::array<double, 6> kHeadingPointSizes{24.0, 18.0, 14.0, 12.0, 10.0, 8.0};

/// A picture in the text, placed before the byte at `offset` (`offset` == length: at the end),
/// `width` × `height` points, its bytes as the source stores them (PNG, JPEG, GIF …).
struct Picture {
    std::size_t offset = 0;
    double width = 0;
    double height = 0;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Picture& other) const = default;
};

/// Where a cell's text sits between its top and bottom.
enum class CellAlignment : std::uint8_t { top, middle, bottom };

/// One cell of a table row: where its text starts, and how many grid columns and rows it spans.
/// `rows` is 0 for a cell covered by a cell above that spans down into its row: its text (empty
/// by construction) stays in the line but a writer that draws cells draws none for it.
struct TableCell {
    std::size_t start = 0;
    std::uint32_t rows = 1;
    std::uint16_t columns = 1;
    CellAlignment alignment = CellAlignment::top;
    bool operator==(const TableCell& other) const = default;
};

/// One row of a table: where each cell's text starts (cells are separated by one "\t") and where
/// the row's text ends. A row of a top-level table is a line of the text, before its "\n"; a row
/// of a table inside a cell is a stretch of that cell's text, followed by one " ".
struct TableRow {
    std::vector<TableCell> cells;
    std::size_t end = 0;
    std::uint32_t columnsBefore = 0; // grid columns left empty before its first cell
    bool operator==(const TableRow& other) const = default;
};

/// Consecutive rows of one table; `borders` when the source draws lines around its cells.
struct Table {
    std::vector<TableRow> rows;
    /// Widths of the grid's columns relative to each other; empty when the source gives none.
    std::vector<double> columnWidths;
    /// The share (0, 1] of the width it sits in (the text's, or its cell's); 0 when automatic.
    double width = 0;
    /// Tables inside this table's cells, in text order (their own ones inside them).
    std::vector<Table> nested;
    bool borders = false;
    bool operator==(const Table& other) const = default;
};

class RichText {
  public:
    /// Appends `text` in `attributes`, extending the last run when the attributes are equal.
    void append(std::string_view text, const TextAttributes& attributes);
    /// Appends one "\n" in the attributes of the last run (body text when empty).
    void endParagraph();
    /// Whether the text is empty or ends with "\n".
    bool atParagraphStart() const { return m_text.empty() || m_text.back() == '\n'; }
    /// Reserves room for about `textBytes` of text in `runs` runs: a reader that can bound them
    /// avoids regrowing (and briefly holding twice) the largest parts; pages never written to
    /// cost no memory.
    void reserve(std::size_t textBytes, std::size_t runs) {
        m_text.reserve(textBytes);
        m_runs.reserve(runs);
    }
    /// Removes trailing characters in `chars` (spaces, tabs) from the end, shrinking runs.
    void trimTrailing(std::string_view chars);

    const std::string& string() const { return m_text; }
    std::size_t length() const { return m_text.size(); }
    const std::vector<TextRun>& runs() const { return m_runs; }
    /// Adds a picture at the current end of the text.
    void addPicture(double width, double height, std::vector<std::uint8_t> bytes) {
        m_pictures.push_back({m_text.size(), width, height, std::move(bytes)});
    }
    /// The pictures by offset; only writers that can show pictures write them.
    const std::vector<Picture>& pictures() const { return m_pictures; }
    /// Marks rows already in the text as a table.
    void addTable(Table table) { m_tables.push_back(std::move(table)); }
    /// The tables in text order; writers without tables see their rows as lines of text.
    const std::vector<Table>& tables() const { return m_tables; }
    /// The same text in the same runs, with the same pictures and tables.
    bool operator==(const RichText& other) const {
        return m_text == other.m_text && m_runs == other.m_runs && m_pictures == other.m_pictures &&
               m_tables == other.m_tables;
    }

    /// The run holding byte `index`; nullptr past the end.
    const TextRun* runAt(std::size_t index) const;
    /// The runs over [start, start + length), clipped to the range.
    std::vector<TextRun> runsIn(std::size_t start, std::size_t length) const;

  private:
    std::string m_text;
    std::vector<TextRun> m_runs;
    std::vector<Picture> m_pictures;
    std::vector<Table> m_tables;
};

/// The size set in the most runs of equal font (adjacent runs that differ only in their link
/// count once); ties go to the smaller size; 12 when there is no text.
double bodyPointSize(const RichText& text);

/// 1…3 for a paragraph that reads as a heading (ratio ≥ 1.8, ≥ 1.4, ≥ 1.15 and bold), else 0.
int headingLevel(const TextAttributes& font, double bodySize);

/// Whether a font family name is one of the common fixed-pitch faces.
bool isMonospaceFamily(std::string_view family);

/// The target of a field instruction "HYPERLINK \"url\"" (or "#" + the bookmark of its \l
/// switch); empty for other fields.
std::string hyperlinkTarget(std::string_view instruction);

} // namespace kv::richtext
