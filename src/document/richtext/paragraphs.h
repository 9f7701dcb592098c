// Walking rich text paragraph by paragraph, as the writers need it.
#pragma once

#include "document/richtext/rich_text.h"

#include <cstddef>
#include <functional>
#include <string_view>

namespace kv::richtext {

/// Calls `visit(start, length)` for each paragraph (the text between line feeds, without the
/// line feed; a CR before it is left out). A final line feed does not start another paragraph.
inline void forEachParagraph(const RichText& text,
                             const std::function<void(std::size_t, std::size_t)>& visit) {
    const std::string_view plain = text.string();
    std::size_t start = 0;
    while (start < plain.size()) {
        std::size_t end = plain.find('\n', start);
        if (end == std::string_view::npos)
            end = plain.size();
        std::size_t length = end - start;
        if (length > 0 && plain[start + length - 1] == '\r')
            --length;
        visit(start, length);
        start = end + 1;
    }
}

} // namespace kv::richtext
