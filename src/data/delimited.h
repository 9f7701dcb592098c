// CSV and TSV: the small quoting dialect read and written by the data converter.
#pragma once

#include "data/table.h"
#include "data/text_output.h"

#include <string>

namespace kv::DataConverter {

/// Reads delimited text (delimiter ',' or '\t') into rows. Never fails: stray quotes are read
/// leniently, blank lines give no row, ragged rows stay ragged. Takes the text by value and
/// reuses its buffer for the cells.
Table parseDelimited(std::string text, char delimiter);

/// Writes rows as delimited text: cells holding the delimiter, a quote, CR or LF are quoted with
/// inner quotes doubled; rows end with a line feed.
void writeDelimited(const Table& table, char delimiter, TextOutput& out);
std::string writeDelimited(const Table& table, char delimiter);

} // namespace kv::DataConverter
