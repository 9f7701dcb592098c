// HTML reader: an HTML5 document (parsed by gumbo) as rich text, the way a word processor
// imports it.
#pragma once

#include "document/richtext/rich_text.h"

#include <string>
#include <string_view>

namespace kv::richtext {

/// The text of an HTML file's bytes as UTF-8: a byte-order mark, else a `<meta charset>` (or
/// http-equiv content type) in the first 4 KB, else UTF-8 when the bytes are valid UTF-8, else
/// ISO-8859-1.
std::string decodeHTMLBytes(std::string bytes);

/// Headings, emphasis, code, links, paragraphs, line breaks, lists with "•" or "1." markers, block
/// quotes and tables as tab-separated rows; scripts, styles and comments are never text.
RichText readHTML(std::string_view utf8);
/// The same, parsing at most about `pieceBytes` of the body at a time where the document allows
/// a cut (the result does not depend on it; tests choose small pieces).
RichText readHTML(std::string_view utf8, std::size_t pieceBytes);

} // namespace kv::richtext
