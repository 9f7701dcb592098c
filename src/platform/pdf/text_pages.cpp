// One pango layout, refilled for each paragraph; each line drawn where the page has room.
#include "platform/pdf/text_pages.h"

#include "platform/c_handle.h"
#include "platform/platform_error.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <optional>
#include <pango/pangocairo.h>

namespace kv::platform {
namespace {

inline void unrefObject(gpointer object) noexcept {
    g_object_unref(object);
}
using Surface = CHandle<cairo_surface_t, &cairo_surface_destroy>;
using Context = CHandle<cairo_t, &cairo_destroy>;
using PangoContextHandle = CHandle<PangoContext, &unrefObject>;
using Layout = CHandle<PangoLayout, &unrefObject>;
using AttrList = CHandle<PangoAttrList, &pango_attr_list_unref>;
using FontDescription = CHandle<PangoFontDescription, &pango_font_description_free>;
using LayoutIter = CHandle<PangoLayoutIter, &pango_layout_iter_free>;

constexpr guint16 kLinkRed = 0x0000, kLinkGreen = 0x4400, kLinkBlue = 0xCCCC; // #0044CC

FontDescription describe(const TextFont& font) {
    FontDescription description(pango_font_description_new());
    pango_font_description_set_family(description.get(), font.family.c_str());
    pango_font_description_set_absolute_size(description.get(), font.pointSize * PANGO_SCALE);
    pango_font_description_set_weight(description.get(),
                                      font.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_style(description.get(),
                                     font.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    return description;
}

} // namespace

struct TextPages::State {
    Surface surface;
    Context cairo;
    PangoContextHandle pango;
    Layout layout;
    std::optional<TextFont> layoutFont;
    double width = 0, height = 0, margin = 0;
    int maxPages = 0;
    bool pageOpen = false;
    int pages = 0;
    double y = 0;

    // False at the page limit.
    bool newPage() {
        if (pageOpen)
            cairo_show_page(cairo.get());
        pageOpen = false;
        if (pages == maxPages)
            return false;
        ++pages;
        pageOpen = true;
        y = 0;
        // An opaque white page, whatever the reader's background.
        cairo_set_source_rgb(cairo.get(), 1, 1, 1);
        cairo_paint(cairo.get());
        cairo_set_source_rgb(cairo.get(), 0, 0, 0);
        return true;
    }

    bool drawLines() {
        LayoutIter iter(pango_layout_get_iter(layout.get()));
        const double textHeight = height - 2 * margin;
        do {
            PangoRectangle logical;
            pango_layout_iter_get_line_extents(iter.get(), nullptr, &logical);
            const double top = static_cast<double>(logical.y) / PANGO_SCALE;
            const double lineHeight = static_cast<double>(logical.height) / PANGO_SCALE;
            const double baseline =
                static_cast<double>(pango_layout_iter_get_baseline(iter.get())) / PANGO_SCALE;
            if ((!pageOpen || (y + lineHeight > textHeight && y > 0)) && !newPage())
                return false;
            cairo_move_to(cairo.get(), margin + static_cast<double>(logical.x) / PANGO_SCALE,
                          margin + y + (baseline - top));
            pango_cairo_show_layout_line(cairo.get(),
                                         pango_layout_iter_get_line_readonly(iter.get()));
            y += lineHeight;
        } while (pango_layout_iter_next_line(iter.get()));
        return true;
    }
};

TextPages::TextPages(const std::filesystem::path& file, double width, double height, double margin,
                     int maxPages)
    : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.surface.reset(cairo_pdf_surface_create(file.c_str(), width, height));
    if (const auto status = cairo_surface_status(s.surface.get()); status != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(status));
    s.cairo.reset(cairo_create(s.surface.get()));
    s.pango.reset(pango_cairo_create_context(s.cairo.get()));
    // Sizes are in points: one unit per point.
    pango_cairo_context_set_resolution(s.pango.get(), 72);
    s.layout.reset(pango_layout_new(s.pango.get()));
    pango_layout_set_width(s.layout.get(), static_cast<int>((width - 2 * margin) * PANGO_SCALE));
    pango_layout_set_wrap(s.layout.get(), PANGO_WRAP_WORD_CHAR);
    s.width = width;
    s.height = height;
    s.margin = margin;
    s.maxPages = maxPages;
}

TextPages::~TextPages() = default;

bool TextPages::paragraph(std::string_view text, const TextFont& font,
                          std::span<const TextSpan> spans, double spaceBefore) {
    State& s = *m_state;
    PangoLayout* layout = s.layout.get();
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    if (!s.layoutFont || !(*s.layoutFont == font)) {
        s.layoutFont = font;
        pango_layout_set_font_description(layout, describe(font).get());
    }
    if (spans.empty()) {
        pango_layout_set_attributes(layout, nullptr);
    } else {
        AttrList attributes(pango_attr_list_new());
        for (const auto& span : spans) {
            const auto add = [&](PangoAttribute* attribute) {
                attribute->start_index = static_cast<guint>(span.from);
                attribute->end_index = static_cast<guint>(span.to);
                pango_attr_list_insert(attributes.get(), attribute);
            };
            add(pango_attr_font_desc_new(describe(span.font).get()));
            if (span.link) {
                add(pango_attr_foreground_new(kLinkRed, kLinkGreen, kLinkBlue));
                add(pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
            }
        }
        pango_layout_set_attributes(layout, attributes.get());
    }
    if (s.pageOpen && s.y > 0)
        s.y += spaceBefore;
    return s.drawLines();
}

int TextPages::finish() {
    State& s = *m_state;
    if (s.pageOpen)
        cairo_show_page(s.cairo.get());
    s.pageOpen = false;
    cairo_surface_finish(s.surface.get());
    if (const auto status = cairo_surface_status(s.surface.get()); status != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(status));
    return s.pages;
}

} // namespace kv::platform
