// Rich text laid out on Letter pages with pango and drawn into a PDF with cairo: one layout per
// paragraph, each page written as soon as it is full.
#include "document/pdf/pdf_conversions.h"
#include "document/richtext/paragraphs.h"
#include "engine/conversion_error.h"
#include "engine/output_file.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <memory>
#include <optional>
#include <pango/pangocairo.h>

namespace kv::DocumentConverter {
namespace {

constexpr double kPageWidth = 612; // US Letter, points
constexpr double kPageHeight = 792;
constexpr double kMargin = 72;
constexpr double kTextWidth = kPageWidth - 2 * kMargin;   // 468
constexpr double kTextHeight = kPageHeight - 2 * kMargin; // 648
constexpr int kMaxPages = 10'000;
constexpr std::string_view kTooLong =
    "This document is too long to convert to PDF (over 10,000 pages).";
// What output validation would say of the page-less file that a text without lines makes.
constexpr std::string_view kNoPages = "The converted file didn't come out valid (PDF has 0 pages, "
                                      "expected \u2265 1). The original is untouched.";
constexpr double kParagraphSpacing = 0.75; // of the next paragraph's font size
constexpr std::string_view kBodyFamily = "Serif";
constexpr std::string_view kMonospaceFamily = "Monospace";
constexpr guint16 kLinkRed = 0x0000, kLinkGreen = 0x4400, kLinkBlue = 0xCCCC; // #0044CC

template <auto Release> struct Releaser {
    template <typename T> void operator()(T* handle) const noexcept { Release(handle); }
};
template <typename T, auto Release> using Handle = std::unique_ptr<T, Releaser<Release>>;
inline void unrefObject(gpointer object) noexcept {
    g_object_unref(object);
}

using Surface = Handle<cairo_surface_t, &cairo_surface_destroy>;
using Context = Handle<cairo_t, &cairo_destroy>;
using PangoContextHandle = Handle<PangoContext, &unrefObject>;
using Layout = Handle<PangoLayout, &unrefObject>;
using AttrList = Handle<PangoAttrList, &pango_attr_list_unref>;
using FontDescription = Handle<PangoFontDescription, &pango_font_description_free>;
using LayoutIter = Handle<PangoLayoutIter, &pango_layout_iter_free>;

FontDescription fontFor(const richtext::TextAttributes& attributes) {
    FontDescription font(pango_font_description_new());
    const std::string family = attributes.monospace        ? std::string(kMonospaceFamily)
                               : attributes.family.empty() ? std::string(kBodyFamily)
                                                           : attributes.family;
    pango_font_description_set_family(font.get(), family.c_str());
    pango_font_description_set_absolute_size(font.get(), attributes.pointSize * PANGO_SCALE);
    pango_font_description_set_weight(font.get(),
                                      attributes.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_style(font.get(),
                                     attributes.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    return font;
}

// Streams lines onto pages: a line that does not fit below the last one starts a new page, so a
// line is never cut at a page edge.
class PageWriter {
  public:
    explicit PageWriter(const std::filesystem::path& file)
        : m_surface(cairo_pdf_surface_create(file.c_str(), kPageWidth, kPageHeight)),
          m_cairo(cairo_create(m_surface.get())),
          m_pango(pango_cairo_create_context(m_cairo.get())) {
        if (cairo_surface_status(m_surface.get()) != CAIRO_STATUS_SUCCESS)
            throw ConversionError::failedToCreateOutput();
        // Sizes are in points: one unit per point.
        pango_cairo_context_set_resolution(m_pango.get(), 72);
        // One layout, refilled for each paragraph.
        m_layout.reset(pango_layout_new(m_pango.get()));
        pango_layout_set_width(m_layout.get(), static_cast<int>(kTextWidth * PANGO_SCALE));
        pango_layout_set_wrap(m_layout.get(), PANGO_WRAP_WORD_CHAR);
    }

    void paragraph(const richtext::RichText& text, std::size_t start, std::size_t length) {
        PangoLayout* layout = m_layout.get();
        const std::string_view plain = std::string_view(text.string()).substr(start, length);
        pango_layout_set_text(layout, plain.data(), static_cast<int>(plain.size()));

        // Paragraphs come in order: runs that end before this one are never looked at again.
        const auto& runs = text.runs();
        while (m_run < runs.size() && runs[m_run].end() < start)
            ++m_run;
        std::size_t begin = m_run;
        while (begin < runs.size() && runs[begin].end() <= start && length > 0)
            ++begin;
        std::size_t end = begin;
        while (end < runs.size() && runs[end].start < start + length)
            ++end;
        // The paragraph's own font sets the height of an empty line: the run it touches.
        static const richtext::TextAttributes kBody;
        const richtext::TextAttributes& font =
            begin < runs.size() && runs[begin].start <= start ? runs[begin].attributes : kBody;
        bool monospace = font.monospace;
        bool plainRuns = end - begin <= 1;
        for (std::size_t i = begin; i < end; ++i) {
            monospace = monospace && runs[i].attributes.monospace;
            plainRuns = plainRuns && runs[i].attributes.link.empty();
        }
        setFont(font);
        if (plainRuns) {
            // One font for the whole paragraph (plain text): no attribute list to build.
            pango_layout_set_attributes(layout, nullptr);
        } else {
            AttrList attributes(pango_attr_list_new());
            for (std::size_t i = begin; i < end; ++i) {
                const auto& run = runs[i];
                const auto from = static_cast<guint>(std::max(run.start, start) - start);
                const auto to = static_cast<guint>(std::min(run.end(), start + length) - start);
                const auto add = [&](PangoAttribute* attribute) {
                    attribute->start_index = from;
                    attribute->end_index = to;
                    pango_attr_list_insert(attributes.get(), attribute);
                };
                add(pango_attr_font_desc_new(fontFor(run.attributes).get()));
                if (!run.attributes.link.empty()) {
                    add(pango_attr_foreground_new(kLinkRed, kLinkGreen, kLinkBlue));
                    add(pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
                }
            }
            pango_layout_set_attributes(layout, attributes.get());
        }
        // Space between paragraphs, but not between the lines of plain text or a code block.
        if (m_paragraphs > 0 && !(monospace && m_lastMonospace) && m_pageOpen && m_y > 0)
            m_y += font.pointSize * kParagraphSpacing;
        drawLines(layout);
        m_lastMonospace = monospace;
        ++m_paragraphs;
    }

    /// Ends the last page and closes the file; returns the number of pages.
    int finish() {
        if (m_pageOpen)
            cairo_show_page(m_cairo.get());
        m_pageOpen = false;
        cairo_surface_finish(m_surface.get());
        if (cairo_surface_status(m_surface.get()) != CAIRO_STATUS_SUCCESS)
            throw ConversionError::failedToCreateOutput();
        return m_pages;
    }

  private:
    // The layout's base font, changed only when a paragraph's font differs from the last one.
    void setFont(const richtext::TextAttributes& font) {
        if (m_font && m_font->sameFont(font))
            return;
        m_font = font;
        pango_layout_set_font_description(m_layout.get(), fontFor(font).get());
    }

    void drawLines(PangoLayout* layout) {
        LayoutIter iter(pango_layout_get_iter(layout));
        do {
            PangoRectangle logical;
            pango_layout_iter_get_line_extents(iter.get(), nullptr, &logical);
            const double top = static_cast<double>(logical.y) / PANGO_SCALE;
            const double height = static_cast<double>(logical.height) / PANGO_SCALE;
            const double baseline =
                static_cast<double>(pango_layout_iter_get_baseline(iter.get())) / PANGO_SCALE;
            if (!m_pageOpen || (m_y + height > kTextHeight && m_y > 0))
                newPage();
            cairo_move_to(m_cairo.get(), kMargin + static_cast<double>(logical.x) / PANGO_SCALE,
                          kMargin + m_y + (baseline - top));
            pango_cairo_show_layout_line(m_cairo.get(),
                                         pango_layout_iter_get_line_readonly(iter.get()));
            m_y += height;
        } while (pango_layout_iter_next_line(iter.get()));
    }

    void newPage() {
        if (m_pageOpen)
            cairo_show_page(m_cairo.get());
        if (m_pages == kMaxPages)
            throw ConversionError::corruptFile(kTooLong);
        ++m_pages;
        m_pageOpen = true;
        m_y = 0;
        // An opaque white page, whatever the reader's background.
        cairo_set_source_rgb(m_cairo.get(), 1, 1, 1);
        cairo_paint(m_cairo.get());
        cairo_set_source_rgb(m_cairo.get(), 0, 0, 0);
    }

    Surface m_surface;
    Context m_cairo;
    PangoContextHandle m_pango;
    Layout m_layout;
    std::optional<richtext::TextAttributes> m_font;
    std::size_t m_run = 0;
    bool m_pageOpen = false;
    int m_pages = 0;
    double m_y = 0;
    std::size_t m_paragraphs = 0;
    bool m_lastMonospace = false;
};

} // namespace

void richTextToPDF(const richtext::RichText& text, const std::filesystem::path& output) {
    PendingOutput pending(output);
    {
        PageWriter pages(pending.path());
        richtext::forEachParagraph(text, [&](std::size_t start, std::size_t length) {
            pages.paragraph(text, start, length);
        });
        if (pages.finish() == 0)
            throw ConversionError::corruptFile(kNoPages);
    }
    pending.commit();
}

} // namespace kv::DocumentConverter
