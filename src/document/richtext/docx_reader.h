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
/// The same, parsing about `pieceBytes` of the main part's body at a time where it can be cut
/// (the result does not depend on it; tests choose small pieces).
RichText readDOCX(std::span<const std::uint8_t> package, std::size_t pieceBytes);

} // namespace kv::richtext
