// HTML writer: rich text as a standalone HTML page.
#pragma once

#include "document/richtext/rich_text.h"

#include <string>
#include <string_view>

namespace kv::richtext {

/// Headings as h1–h3 (by the size-ratio rule), other paragraphs as p, runs as strong, em, code,
/// a and font-size spans (relative to the body size), so that the HTML reader recovers them.
std::string writeHTML(const RichText& text, std::string_view title);

} // namespace kv::richtext
