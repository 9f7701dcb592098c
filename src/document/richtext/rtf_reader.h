// RTF reader: groups, fonts, character formatting, Unicode and code-page text, hyperlink fields.
#pragma once

#include "document/richtext/rich_text.h"

#include <string_view>

namespace kv::richtext {

/// The document's text and character runs. Throws corruptFile for a file that is not RTF, groups
/// nested deeper than the limit, or \bin data running past the end.
RichText readRTF(std::string_view bytes);

} // namespace kv::richtext
