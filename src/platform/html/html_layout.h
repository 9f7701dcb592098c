// HTML laid out by litehtml and drawn with pango and cairo onto PDF pages. Nothing here reads a
// file or the network: the caller hands in the pictures and style sheets a page asks for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kv::platform {

/// A picture for the page: row-major RGBA, 8 bits per component, straight alpha.
struct HtmlPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

/// What the page may load, by the reference written in it (an `src` or `href`). Nothing when the
/// reference is not to be loaded or cannot be read.
struct HtmlResources {
    std::function<std::optional<HtmlPicture>(const std::string& reference)> picture;
    std::function<std::optional<std::string>(const std::string& reference)> styleSheet;
};

/// A band of rows [top, bottom) that a page edge should not cut: a line of text, a picture or a
/// table row.
struct HtmlBand {
    int top = 0;
    int bottom = 0;
};

class PdfPages;

/// An HTML document laid out at a fixed width in CSS pixels.
class HtmlLayout {
  public:
    /// `defaultStyle` is the style every element starts from (display, margins, fonts).
    /// Throws PlatformError when the document cannot be parsed.
    HtmlLayout(const std::string& html, const std::string& defaultStyle, int width,
               HtmlResources resources);
    ~HtmlLayout();
    HtmlLayout(const HtmlLayout&) = delete;
    HtmlLayout& operator=(const HtmlLayout&) = delete;

    /// The laid-out document's height in CSS pixels.
    int height() const;
    /// Every line of text, picture and table row (lines and pictures in drawing order).
    std::vector<HtmlBand> bands() const;
    /// Rows [top, top + rows) drawn at the top of the current page of `pages`, `scale` points per
    /// pixel; nothing outside those rows is drawn.
    void drawSlice(PdfPages& pages, int top, int rows, double scale) const;

    struct State;

  private:
    std::unique_ptr<State> m_state;
};

/// A PDF file written page by page with cairo.
class PdfPages {
  public:
    /// Throws PlatformError when the file cannot be created.
    explicit PdfPages(const std::filesystem::path& file);
    ~PdfPages();
    PdfPages(const PdfPages&) = delete;
    PdfPages& operator=(const PdfPages&) = delete;

    /// Starts a page of width × height points, painted opaque white.
    void beginPage(double width, double height);
    /// Closes the file; throws PlatformError when writing failed.
    void finish();
    int pageCount() const { return m_pages; }

    struct State;
    State& state() { return *m_state; }

  private:
    std::unique_ptr<State> m_state;
    int m_pages = 0;
    bool m_pageOpen = false;
};

} // namespace kv::platform
