// EPUB 3 writer: any document source as a one-chapter book.
#pragma once

#include "formats/supported_format.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace kv::DocumentConverter {

/// Writes `source` (pdf, rtf, txt, html, markdown or docx) as an EPUB at `output`; any other
/// source: unsupportedConversion(source, "EPUB").
void anyToEPUB(const std::filesystem::path& source, SupportedFormat sourceFormat,
               const std::filesystem::path& output);

/// The chapter page: the body of `html` (or all of it when it has no body element) re-serialised
/// as well-formed XHTML under the escaped `title`.
std::string wrapAsXHTML(std::string_view html, std::string_view title);

} // namespace kv::DocumentConverter
