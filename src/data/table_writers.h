// Tables as an HTML page or a Markdown table.
#pragma once

#include "data/table.h"
#include "data/text_output.h"

#include <string>
#include <string_view>

namespace kv::DataConverter {

/// A standalone HTML page: the first row in th cells, later rows in td cells, not padded.
void writeHTMLTable(const Table& table, std::string_view title, TextOutput& out);
std::string writeHTMLTable(const Table& table, std::string_view title);

/// A pipe table, every row padded to the widest; the first row is the header.
void writeMarkdownTable(const Table& table, TextOutput& out);
std::string writeMarkdownTable(const Table& table);

} // namespace kv::DataConverter
