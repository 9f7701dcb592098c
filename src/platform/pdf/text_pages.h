// Paragraphs of styled text laid out with pango (or from glyphs it gave before) and streamed onto
// PDF pages with cairo.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kv::platform {

struct TextFont {
    std::string family; // a fontconfig family name: "Serif", "Monospace", "DejaVu Sans", …
    double pointSize = 12;
    bool bold = false;
    bool italic = false;

    bool operator==(const TextFont&) const = default;
};

/// Bytes [from, to) of a paragraph in `font`, underlined in link colour when `link`.
struct TextSpan {
    std::size_t from = 0;
    std::size_t to = 0;
    TextFont font;
    bool link = false;
};

/// Pages of `width` × `height` points with a `margin` on every side, opaque white, black text.
/// A line that does not fit below the last one starts a new page, so no line is cut at an edge.
class TextPages {
  public:
    /// Throws PlatformError when the file cannot be created.
    TextPages(const std::filesystem::path& file, double width, double height, double margin,
              int maxPages);
    ~TextPages();
    TextPages(const TextPages&) = delete;
    TextPages& operator=(const TextPages&) = delete;

    /// Lays out `text` in `font` (which also sets an empty line's height), with `spans` over it,
    /// `spaceBefore` points below the previous paragraph unless at the top of a page. False when
    /// it would need a page beyond the limit; nothing more can be added then.
    bool paragraph(std::string_view text, const TextFont& font, std::span<const TextSpan> spans,
                   double spaceBefore);
    /// Ends the last page and closes the file; returns the number of pages. Throws PlatformError
    /// when writing failed.
    int finish();

    struct State;

  private:
    std::unique_ptr<State> m_state;
};

} // namespace kv::platform
