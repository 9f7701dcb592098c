// DOCX writer: rich text as a minimal Office Open XML package.
#pragma once

#include "archive/archive_bytes.h"
#include "document/richtext/rich_text.h"

namespace kv::richtext {

/// Content types, package and document relationships, the document and a style sheet (Normal at
/// the body size, Heading1–3, VerbatimChar, Hyperlink); headings by the size-ratio rule.
ArchiveConverter::Bytes writeDOCX(const RichText& text);

} // namespace kv::richtext
