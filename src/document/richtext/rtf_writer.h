// RTF writer: rich text as RTF 1.x with fonts, sizes, bold, italic, monospace and hyperlink fields.
#pragma once

#include "document/richtext/rich_text.h"

#include <string>

namespace kv::richtext {

struct RTFWriteOptions {
    bool blackForeground =
        false; // colour every run black (\cf1) rather than leave the colour unset
};

/// Non-ASCII text is written as \uN? (UTF-16 units, surrogate pairs for characters past U+FFFF);
/// heading paragraphs (by the size-ratio rule) carry \outlinelevel.
std::string writeRTF(const RichText& text, const RTFWriteOptions& options = {});

} // namespace kv::richtext
