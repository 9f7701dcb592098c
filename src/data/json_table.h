// JSON and NDJSON tables: reading them into rows and writing rows as an array of objects.
#pragma once

#include "data/table.h"
#include "data/text_output.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::DataConverter {

/// What reading JSON had to leave out, so the caller can warn instead of losing data silently.
struct JSONReadReport {
    std::size_t skippedLines = 0;     // NDJSON lines that did not parse
    std::size_t firstSkippedLine = 0; // 1-based line number in the text
    std::size_t skippedItems = 0;     // items that do not fit the table's shape
    std::size_t firstSkippedItem = 0; // 1-based item position
};

/// One JSON document (top-level array or object), else newline-delimited JSON, to a table.
/// Throws corruptFile("Not valid JSON or NDJSON") when nothing parses.
Table rowsFromJSON(std::string_view text, JSONReadReport* report = nullptr);

/// The member names of the first object in `text`, in written order, duplicates included.
std::vector<std::string> orderedKeysOfFirstObject(std::string_view text);

/// The cell text of one JSON value given as text: null → "", strings unescaped, integers as
/// digits, other numbers as the shortest round-trip decimal, containers as compact JSON.
/// Returns nothing when `json` is not one valid value.
std::optional<std::string> stringify(std::string_view json);

/// Exactly the JSON number grammar, ASCII digits only.
bool isJSONNumber(std::string_view text);

/// A cell's kind when written as a JSON value.
struct Scalar {
    enum class Kind { boolean, number, string, null };
    Kind kind = Kind::null;
    bool boolean = false;
    std::string_view text; // number: trimmed text; string: the cell unchanged

    /// A JSON string literal: quotes, backslashes, CR, LF, tab and other controls escaped.
    static std::string quote(std::string_view text);
    static void quote(std::string_view text, std::string& out);
};

/// Classifies a cell: empty or "null" (any case) → null, a JSON number → number, "true"/"false"
/// (any case) → boolean, anything else → string. Spaces and tabs around the cell are ignored.
Scalar infer(std::string_view cell);

/// Rows as a JSON array of objects keyed by the header row.
void writeJSON(const Table& table, TextOutput& out);
std::string writeJSON(const Table& table);

} // namespace kv::DataConverter
