// Reading JSON and NDJSON text into table rows.
#include "data/json_parser.h"
#include "data/json_table.h"
#include "data/text_decoding.h"
#include "engine/conversion_error.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace kv::DataConverter {
namespace {

constexpr std::uint32_t kNoSlot = UINT32_MAX;

// ---- Cell text of a value --------------------------------------------------------------------

void appendNumberCell(std::string_view text, std::string& out) {
    char buffer[64];
    if (text.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t integer = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), integer);
        if (error == std::errc() && end == text.data() + text.size()) {
            out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, integer).ptr);
            return;
        }
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || !std::isfinite(value)) {
        out.append(text); // beyond double range: keep the digits rather than lose them
        return;
    }
    // Plain notation between 1e-4 and 1e16, exponent notation outside, shortest round trip both.
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value,
                      plain ? std::chars_format::fixed : std::chars_format::scientific);
    const std::string_view written(buffer, static_cast<std::size_t>(result.ptr - buffer));
    out.append(written);
    if (written.find_first_of(".e") == std::string_view::npos)
        out.append(".0");
}

// Appends a string literal given its body as found in valid JSON.
void appendQuoted(std::string_view raw, bool escaped, std::string& out) {
    if (!escaped) { // a body without backslashes holds no quote or control character either
        out.push_back('"');
        out.append(raw);
        out.push_back('"');
        return;
    }
    std::string plain;
    appendUnescapedJSON(raw, plain);
    Scalar::quote(plain, out);
}

// Writes one value as a cell: scalars as their text, containers as compact JSON.
class CellTextWriter {
  public:
    explicit CellTextWriter(std::string& out) : m_out(out) {}

    void beginContainer(char open, std::size_t) {
        separate();
        m_out.push_back(open);
        ++m_depth;
    }
    void endContainer(char close, std::size_t) {
        m_out.push_back(close);
        --m_depth;
    }
    void key(std::string_view raw, bool escaped) {
        separate();
        appendQuoted(raw, escaped, m_out);
        m_out.push_back(':');
    }
    void scalar(JSONScalar kind, std::string_view raw, bool escaped, std::size_t, std::size_t) {
        separate();
        switch (kind) {
        case JSONScalar::string:
            if (m_depth > 0)
                appendQuoted(raw, escaped, m_out);
            else if (escaped)
                appendUnescapedJSON(raw, m_out);
            else
                m_out.append(raw);
            break;
        case JSONScalar::number: appendNumberCell(raw, m_out); break;
        case JSONScalar::trueValue: m_out.append("true"); break;
        case JSONScalar::falseValue: m_out.append("false"); break;
        case JSONScalar::null:
            if (m_depth > 0)
                m_out.append("null");
            break;
        }
    }
    int depth() const { return m_depth; }

  private:
    void separate() {
        if (m_depth == 0)
            return;
        const char last = m_out.back();
        if (last != '{' && last != '[' && last != ':')
            m_out.push_back(',');
    }

    std::string& m_out;
    int m_depth = 0;
};

// ---- Member names ----------------------------------------------------------------------------

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return std::hash<std::string_view>{}(text);
    }
};

// Numbers every distinct member name; the names of consecutive objects usually repeat in the
// same order, so the previous object's name at the same position is tried first.
class KeyIndex {
  public:
    static constexpr std::size_t kMaxRememberedPosition = 4096; // wider objects just use the map

    std::uint32_t idOf(std::string_view raw, bool escaped, std::size_t position) {
        std::string_view name = raw;
        if (escaped) {
            m_unescaped.clear();
            appendUnescapedJSON(raw, m_unescaped);
            name = m_unescaped;
        }
        if (position < m_previous.size() && m_names[m_previous[position]] == name)
            return remember(position, m_previous[position]);
        const auto found = m_ids.find(name);
        if (found != m_ids.end())
            return remember(position, found->second);
        const auto id = static_cast<std::uint32_t>(m_names.size());
        m_names.emplace_back(name);
        m_ids.emplace(m_names.back(), id);
        return remember(position, id);
    }
    const std::string& name(std::uint32_t id) const { return m_names[id]; }
    std::size_t size() const { return m_names.size(); }

  private:
    std::uint32_t remember(std::size_t position, std::uint32_t id) {
        if (position > kMaxRememberedPosition)
            return id;
        if (position >= m_previous.size())
            m_previous.resize(position + 1, 0);
        m_previous[position] = id;
        return id;
    }

    std::vector<std::string> m_names;
    std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> m_ids;
    std::vector<std::uint32_t> m_previous;
    std::string m_unescaped;
};

// The column list: first-object order first, then each object's new names in sorted order.
class Columns {
  public:
    explicit Columns(KeyIndex& keys) : m_keys(keys) {}

    void add(std::uint32_t id) {
        if (id >= m_present.size())
            m_present.resize(id + 1, false);
        if (m_present[id])
            return;
        m_present[id] = true;
        m_order.push_back(id);
    }
    bool has(std::uint32_t id) const { return id < m_present.size() && m_present[id]; }
    void addObjectKeys(std::vector<std::uint32_t>& ids) {
        if (std::all_of(ids.begin(), ids.end(), [&](std::uint32_t id) { return has(id); }))
            return;
        std::sort(ids.begin(), ids.end(), [&](std::uint32_t a, std::uint32_t b) {
            return m_keys.name(a) < m_keys.name(b);
        });
        for (std::uint32_t id : ids)
            add(id);
    }
    void truncate(std::size_t count) {
        while (m_order.size() > count) {
            m_present[m_order.back()] = false;
            m_order.pop_back();
        }
    }
    const std::vector<std::uint32_t>& order() const { return m_order; }

  private:
    KeyIndex& m_keys;
    std::vector<bool> m_present;
    std::vector<std::uint32_t> m_order;
};

// ---- Reading items into rows ----------------------------------------------------------------

// Everything a failed NDJSON line must give back, besides table rows and columns.
struct ReadState {
    enum class Mode { undecided, arrays, objects };
    Mode mode = Mode::undecided;
    std::size_t items = 0;               // items read so far
    std::size_t pendingEmptyObjects = 0; // objects seen before any column existed
    std::size_t misfits = 0; // items of the wrong shape (skipped, or kept if no columns)
    std::size_t firstMisfit = 0;
};

// Turns the items (children of a top-level array, or each top-level value) straight into rows
// while the parser validates: array items in arrays mode, object items keyed by the column list
// in objects mode. Columns only ever get appended, so rows written earlier stay valid and are
// padded once at the end. While there are no columns every item's text is kept, for the
// single-cell fallback.
class TableBuilder {
  public:
    struct Cell {
        std::uint32_t key; // kNoSlot for array elements
        std::size_t begin;
        std::size_t end;
    };

    TableBuilder(KeyIndex& keys, Columns& columns, Table& table, ReadState& state,
                 std::vector<std::string_view>& itemTexts, std::string_view text, int itemDepth)
        : m_keys(keys), m_columns(columns), m_table(table), m_state(state), m_itemTexts(itemTexts),
          m_text(text), m_itemDepth(itemDepth), m_writer(m_scratch) {}

    void beginContainer(char open, std::size_t at) {
        const int level = m_depth++ - m_itemDepth; // 0: the item itself, 1: its members
        if (level == 0) {
            startItem(open, at);
            return;
        }
        if (level < 0 || !m_collecting)
            return;
        if (level == 1)
            m_valueBegin = m_scratch.size();
        m_writer.beginContainer(open, at);
    }
    void endContainer(char close, std::size_t after) {
        const int level = --m_depth - m_itemDepth;
        if (level == 0) {
            finishItem(after);
            return;
        }
        if (level < 0 || !m_collecting)
            return;
        m_writer.endContainer(close, after);
        if (level == 1)
            m_cells.push_back({m_key, m_valueBegin, m_scratch.size()});
    }
    void key(std::string_view raw, bool escaped) {
        if (!m_collecting)
            return;
        if (m_depth - m_itemDepth == 1)
            m_key = m_keys.idOf(raw, escaped, m_cells.size());
        else if (m_depth - m_itemDepth > 1)
            m_writer.key(raw, escaped);
    }
    void scalar(JSONScalar kind, std::string_view raw, bool escaped, std::size_t begin,
                std::size_t end) {
        const int level = m_depth - m_itemDepth;
        if (level == 0) {
            startItem('s', begin);
            finishItem(end);
            return;
        }
        if (level < 0 || !m_collecting)
            return;
        if (level == 1)
            m_valueBegin = m_scratch.size();
        m_writer.scalar(kind, raw, escaped, begin, end);
        if (level == 1)
            m_cells.push_back({m_key, m_valueBegin, m_scratch.size()});
    }

  private:
    using Mode = ReadState::Mode;

    void startItem(char kind, std::size_t at) {
        ++m_state.items;
        if (m_state.mode == Mode::undecided)
            m_state.mode = kind == '[' ? Mode::arrays : Mode::objects;
        m_kind = kind;
        m_begin = at;
        m_collecting = kind == (m_state.mode == Mode::arrays ? '[' : '{');
        m_scratch.clear();
        m_cells.clear();
    }

    void finishItem(std::size_t after) {
        if (m_state.mode == Mode::objects && m_columns.order().empty()) {
            m_itemTexts.push_back(m_text.substr(m_begin, after - m_begin));
        }
        if (!m_collecting) {
            if (m_state.misfits++ == 0)
                m_state.firstMisfit = m_state.items;
            return;
        }
        if (m_state.mode == Mode::arrays) {
            for (const Cell& cell : m_cells)
                m_table.addCell(cellText(cell));
            m_table.endRow();
            return;
        }
        m_keyIds.clear();
        for (const Cell& cell : m_cells)
            m_keyIds.push_back(cell.key);
        m_columns.addObjectKeys(m_keyIds);
        const auto& order = m_columns.order();
        if (order.empty()) {
            ++m_state.pendingEmptyObjects;
            return;
        }
        for (; m_state.pendingEmptyObjects > 0; --m_state.pendingEmptyObjects)
            m_table.endRow();
        if (m_slot.size() < m_keys.size())
            m_slot.resize(m_keys.size(), kNoSlot);
        for (std::size_t k = 0; k < m_cells.size(); ++k)
            m_slot[m_cells[k].key] = static_cast<std::uint32_t>(k);
        for (std::uint32_t id : order) {
            const std::uint32_t k = m_slot[id];
            m_table.addCell(k == kNoSlot ? std::string_view() : cellText(m_cells[k]));
        }
        m_table.endRow();
        for (const Cell& cell : m_cells)
            m_slot[cell.key] = kNoSlot;
    }

    std::string_view cellText(const Cell& cell) const {
        return std::string_view(m_scratch).substr(cell.begin, cell.end - cell.begin);
    }

    KeyIndex& m_keys;
    Columns& m_columns;
    Table& m_table;
    ReadState& m_state;
    std::vector<std::string_view>& m_itemTexts;
    std::string_view m_text;
    int m_itemDepth;
    int m_depth = 0;
    char m_kind = 's';
    std::size_t m_begin = 0;
    bool m_collecting = false;
    std::string m_scratch;
    CellTextWriter m_writer;
    std::vector<Cell> m_cells;
    std::uint32_t m_key = kNoSlot;
    std::size_t m_valueBegin = 0;
    std::vector<std::uint32_t> m_keyIds;
    std::vector<std::uint32_t> m_slot;
};

bool isSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

// ---- Public operations -----------------------------------------------------------------------

void appendUnescapedJSON(std::string_view raw, std::string& out) {
    const auto hex = [&](std::size_t at) {
        unsigned code = 0;
        for (std::size_t i = at; i < at + 4 && i < raw.size(); ++i) {
            const char c = raw[i];
            code = code * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        return code;
    };
    std::size_t i = 0;
    while (i < raw.size()) {
        const std::size_t slash = raw.find('\\', i);
        out.append(
            raw.substr(i, slash == std::string_view::npos ? std::string_view::npos : slash - i));
        if (slash == std::string_view::npos || slash + 1 >= raw.size())
            return;
        const char e = raw[slash + 1];
        i = slash + 2;
        switch (e) {
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
            unsigned code = hex(i);
            i += 4;
            if (code >= 0xD800 && code <= 0xDBFF && i + 6 <= raw.size() && raw[i] == '\\' &&
                raw[i + 1] == 'u') {
                const unsigned low = hex(i + 2);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    i += 6;
                }
            }
            if (code >= 0xD800 && code <= 0xDFFF)
                code = 0xFFFD; // unpaired: never emit invalid UTF-8
            if (code < 0x80) {
                out.push_back(static_cast<char>(code));
            } else if (code < 0x800) {
                out.push_back(static_cast<char>(0xC0 | (code >> 6)));
                out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            } else if (code < 0x10000) {
                out.push_back(static_cast<char>(0xE0 | (code >> 12)));
                out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            } else {
                out.push_back(static_cast<char>(0xF0 | (code >> 18)));
                out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            }
            break;
        }
        default: out.push_back(e); break; // \" \\ \/
        }
    }
}

std::vector<std::string> orderedKeysOfFirstObject(std::string_view text) {
    std::vector<std::string> keys;
    std::size_t depth = 0; // only the size of the bracket stack matters, never its contents
    std::size_t firstDepth = 0;
    bool expectingKey = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i++];
        if (c == '"') {
            // Collect the string; escapes are decoded the JSON way so a name matches the parsed
            // one.
            const std::size_t start = i;
            bool escaped = false;
            while (i < text.size() && text[i] != '"') {
                if (text[i] == '\\') {
                    escaped = true;
                    ++i;
                }
                ++i;
            }
            const std::string_view body = text.substr(start, std::min(i, text.size()) - start);
            if (i < text.size())
                ++i; // the closing quote
            if (expectingKey && firstDepth != 0 && depth == firstDepth) {
                std::string name;
                if (escaped)
                    appendUnescapedJSON(body, name);
                else
                    name.assign(body);
                keys.push_back(std::move(name));
                expectingKey = false;
            }
        } else if (c == '{') {
            ++depth;
            if (firstDepth == 0) {
                firstDepth = depth;
                expectingKey = true;
            }
        } else if (c == '[') {
            ++depth;
        } else if (c == '}') {
            if (firstDepth != 0 && depth == firstDepth)
                return keys;
            if (depth > 0)
                --depth;
        } else if (c == ']') {
            if (depth > 0)
                --depth;
        } else if (c == ',') {
            if (firstDepth != 0 && depth == firstDepth)
                expectingKey = true;
        }
    }
    return keys;
}

std::optional<std::string> stringify(std::string_view json) {
    std::string out;
    CellTextWriter writer(out);
    JSONParser parser(json, writer);
    if (!parser.parseValue())
        return std::nullopt;
    return out;
}

namespace {

// "line L, column C" of a byte offset, both from 1, the column in characters.
std::string linePosition(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t lineStart =
        before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    std::size_t column = 1;
    for (std::size_t i = lineStart; i < offset; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            ++column;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

} // namespace

Table rowsFromJSON(std::string_view text, JSONReadReport* report) {
    const std::string_view trimmed = trimWhitespaceAndNewlines(text);
    const std::size_t base = static_cast<std::size_t>(trimmed.data() - text.data());

    KeyIndex keys;
    Columns columns(keys);
    for (const std::string& name : orderedKeysOfFirstObject(trimmed))
        columns.add(keys.idOf(name, false, SIZE_MAX));
    const std::size_t firstObjectColumns = columns.order().size();

    Table table;
    ReadState state;
    std::vector<std::string_view> itemTexts; // item texts while there are no columns
    bool isDocument = false;
    std::string documentProblem;
    {
        TableBuilder builder(keys, columns, table, state, itemTexts, trimmed,
                             !trimmed.empty() && trimmed.front() == '[' ? 1 : 0);
        JSONParser parser(trimmed, builder);
        isDocument = parser.parseDocument();
        if (!isDocument)
            documentProblem = std::string(parser.problem()) + " at " +
                              linePosition(text, base + parser.problemOffset());
    }
    // A document that does not parse is read as one JSON document per line.
    if (!isDocument) {
        table = Table();
        state = ReadState();
        itemTexts.clear();
        columns.truncate(firstObjectColumns);
        std::size_t line =
            1 + static_cast<std::size_t>(std::count(
                    text.begin(), text.begin() + static_cast<std::ptrdiff_t>(base), '\n'));
        std::size_t start = 0;
        bool firstPiece = true;
        while (start <= trimmed.size()) {
            std::size_t stop = trimmed.find('\n', start);
            if (stop == std::string_view::npos)
                stop = trimmed.size();
            std::string_view piece = trimmed.substr(start, stop - start);
            while (!piece.empty() && isSpaceOrTab(piece.front()))
                piece.remove_prefix(1);
            while (!piece.empty() && isSpaceOrTab(piece.back()))
                piece.remove_suffix(1);
            if (!piece.empty()) {
                const ReadState before = state;
                const std::size_t rows = table.rowCount();
                const std::size_t columnCount = columns.order().size();
                const std::size_t texts = itemTexts.size();
                TableBuilder builder(keys, columns, table, state, itemTexts, piece, 0);
                JSONParser parser(piece, builder);
                const bool parsed = parser.parseDocument();
                // A first line that is no JSON document either: the text was meant as one
                // document (a truncated array, say), and its parse error is the one to report.
                if (!parsed && firstPiece)
                    throw ConversionError::corruptFile("Not valid JSON: " + documentProblem);
                firstPiece = false;
                if (!parsed) {
                    state = before;
                    table.truncateRows(rows);
                    columns.truncate(columnCount);
                    itemTexts.resize(std::min(texts, itemTexts.size()));
                    if (report && report->skippedLines++ == 0)
                        report->firstSkippedLine = line;
                }
            }
            start = stop + 1;
            ++line;
        }
    }
    if (state.items == 0)
        throw ConversionError::corruptFile("Not valid JSON or NDJSON");

    const auto& order = columns.order();
    if (state.mode == ReadState::Mode::objects && order.empty()) {
        Table single;
        for (std::string_view item : itemTexts) {
            single.addCell(*stringify(item));
            single.endRow();
        }
        return single;
    }
    if (report && state.misfits > 0) {
        report->skippedItems = state.misfits;
        report->firstSkippedItem = state.firstMisfit;
    }
    if (state.mode == ReadState::Mode::objects) {
        std::vector<std::string> header;
        for (std::uint32_t id : order)
            header.push_back(keys.name(id));
        table.prependRowAndPad(header, header.size());
    }
    return table;
}

} // namespace kv::DataConverter
