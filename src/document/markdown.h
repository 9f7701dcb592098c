// Markdown in both directions: the small regular-expression renderer, and the writer that reads
// headings and emphasis from the fonts of rich text.
#pragma once

#include "document/richtext/rich_text.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kv::DocumentConverter {

/// "&", "<", ">" as entities, in that order; double quotes stay.
std::string escapeHTML(std::string_view text);

/// The page body for Markdown `source`: escaped, headings 1–3, strong, em and code by the fixed
/// regular expressions, blank lines as paragraph breaks, wrapped in one p element.
std::string markdownBody(std::string_view source);
/// The same body appended to `out`.
void appendMarkdownBody(std::string_view source, std::string& out);

/// The body as printed on PDF pages: the same steps, and also fenced code blocks (``` or ~~~) as
/// preformatted text and [text](url) as links; an image ![alt](src) shows its alt text.
std::string markdownPrintBody(std::string_view source);

/// Rich text as Markdown: headings from size ratios to the body size, emphasis, code and links
/// per run, blank lines collapsed, ending with one line feed ("" for empty text).
std::string attributedStringToMarkdown(const richtext::RichText& text);

/// "#", "##", "###" or "" for the line starting at byte `index`.
std::string headingPrefix(const richtext::RichText& text, std::size_t index, double bodySize);

/// The Markdown of the runs over [start, start + length); `fallback` when they contribute nothing.
std::string inlineMarkdown(const richtext::RichText& text, std::size_t start, std::size_t length,
                           std::string_view fallback);

/// A backslash before each of \ ` * _ [ ] < >.
std::string escapeMarkdown(std::string_view text);

} // namespace kv::DocumentConverter
