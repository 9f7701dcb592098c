// DOCX reader: the main document part of an Office Open XML package as rich text.
#pragma once

#include "document/richtext/rich_text.h"

#include <cstdint>
#include <span>

namespace kv::richtext {

/// Runs with bold, italic, size and fonts resolved through the style sheet (basedOn chains,
/// headings 1–6 at word-processor sizes), hyperlinks through the document's relationships, tabs,
/// breaks, and tables as tab-separated rows. The package is opened with the ZIP reader and its
/// limits; damage throws corruptFile.
RichText readDOCX(std::span<const std::uint8_t> package);

} // namespace kv::richtext
