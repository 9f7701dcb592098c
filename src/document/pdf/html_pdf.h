// HTML drawn on PDF pages by the layout engine (media module side).
#pragma once

#include "platform/html/html_layout.h"

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace kv::DocumentConverter {

/// Rows of layout per page: 11 inches at 96 pixels per inch.
inline constexpr int kPageRows = 1056;

/// The rows [top, top + rows) of the layout that one page shows.
struct PageSlice {
    int top = 0;
    int rows = 0;
};

/// `html` with a white page and dark text forced: the style goes right after every opening head
/// tag, or, without a head, around the whole text in a minimal page.
std::string withLightPage(const std::string& html);

/// Consecutive page slices covering `contentHeight` rows, each at most kPageRows tall. An edge
/// that would split a band (a line or picture no taller than a page) moves up to the band's top.
/// A last slice of one row or less is dropped; no slice at all for an empty layout.
std::vector<PageSlice> pageSlices(int contentHeight, std::vector<platform::HtmlBand> bands);

/// The file that `reference` (as written in a page) names inside `folder`, resolved through
/// symbolic links; nothing for a URL with a scheme, a file outside the folder, or a missing file.
std::optional<std::filesystem::path> localResource(const std::filesystem::path& folder,
                                                   const std::string& reference);

} // namespace kv::DocumentConverter
