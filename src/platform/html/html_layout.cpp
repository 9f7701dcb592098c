// litehtml lays the document out; this container answers its questions about fonts and pictures
// with pango and cairo, and draws what it is told onto a cairo PDF surface.
#include "platform/html/html_layout.h"

#include "platform/c_handle.h"
#include "platform/cairo_handles.h"
#include "platform/html/indexed_children.h"
#include "platform/html/page_styles.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <cairo-pdf.h>
#include <cairo.h>
#include <cmath>
#include <cstdint>
#include <functional>
#include <hb-ot.h>
#include <hb.h>
#include <litehtml.h>
#include <optional>
#include <pango/pangocairo.h>
#include <string_view>
#include <unordered_map>

namespace kv::platform {
namespace {

using FontMap = CHandle<PangoFontMap, &unrefObject>;
using PangoContextHandle = CHandle<PangoContext, &unrefObject>;
using PangoFontHandle = CHandle<PangoFont, &unrefObject>;
using FontDescription = CHandle<PangoFontDescription, &pango_font_description_free>;
using Metrics = CHandle<PangoFontMetrics, &pango_font_metrics_unref>;
using Cairo = CHandle<cairo_t, &cairo_destroy>;
using Pattern = CHandle<cairo_pattern_t, &cairo_pattern_destroy>;
using FontOptions = CHandle<cairo_font_options_t, &cairo_font_options_destroy>;
using Item = CHandle<PangoItem, &pango_item_free>;
using Glyphs = CHandle<PangoGlyphString, &pango_glyph_string_free>;
using Attributes = CHandle<PangoAttrList, &pango_attr_list_unref>;

// CSS generic families as fontconfig names them.
std::string fontconfigFamily(std::string_view name) {
    if (name == "sans-serif" || name == "system-ui" || name == "-apple-system" ||
        name == "BlinkMacSystemFont" || name == "cursive" || name == "fantasy")
        return "Sans";
    if (name == "serif")
        return "Serif";
    if (name == "monospace")
        return "Monospace";
    return std::string(name);
}

// "'Helvetica Neue', Arial, sans-serif" as pango's comma-separated family list.
std::string familyList(std::string_view css) {
    std::string out;
    while (!css.empty()) {
        const std::size_t comma = css.find(',');
        std::string_view name = css.substr(0, comma);
        css = comma == std::string_view::npos ? std::string_view() : css.substr(comma + 1);
        while (!name.empty() &&
               (name.front() == ' ' || name.front() == '"' || name.front() == '\''))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '"' || name.back() == '\''))
            name.remove_suffix(1);
        if (name.empty())
            continue;
        if (!out.empty())
            out += ',';
        out += fontconfigFamily(name);
    }
    return out.empty() ? std::string("Sans") : out;
}

// A word shaped once in one font, as a one-line pango layout would set it: pango's items (a
// fallback font or another direction starts a new one) in visual order, each with its glyphs and
// its offset from the left edge.
struct ShapedText {
    struct Run {
        int x = 0; // pango units
        Item item;
        Glyphs glyphs;
    };
    std::vector<Run> runs;
    int width = 0; // pixels, rounded up
};

struct Font {
    FontDescription description;
    unsigned decoration = 0;
    int ascent = 0;
    int descent = 0;
    double underlinePosition = 0; // below the baseline, pixels
    double lineThickness = 1;
    // By text; the nodes stay put, so drawing commands keep pointers to them.
    std::unordered_map<std::string, ShapedText> texts;
};

using ShapedEntry = std::pair<const std::string, ShapedText>;

void setColor(cairo_t* cairo, const litehtml::web_color& color) {
    cairo_set_source_rgba(cairo, color.red / 255.0, color.green / 255.0, color.blue / 255.0,
                          color.alpha / 255.0);
}

void roundedRectangle(cairo_t* cairo, const litehtml::position& box,
                      const litehtml::border_radiuses& radius) {
    const double x = box.x, y = box.y, w = box.width, h = box.height;
    const double tl = std::min({static_cast<double>(radius.top_left_x), w / 2, h / 2});
    const double tr = std::min({static_cast<double>(radius.top_right_x), w / 2, h / 2});
    const double br = std::min({static_cast<double>(radius.bottom_right_x), w / 2, h / 2});
    const double bl = std::min({static_cast<double>(radius.bottom_left_x), w / 2, h / 2});
    if (tl <= 0 && tr <= 0 && br <= 0 && bl <= 0) {
        cairo_rectangle(cairo, x, y, w, h);
        return;
    }
    cairo_new_sub_path(cairo);
    cairo_arc(cairo, x + w - tr, y + tr, tr, -M_PI / 2, 0);
    cairo_arc(cairo, x + w - br, y + h - br, br, 0, M_PI / 2);
    cairo_arc(cairo, x + bl, y + h - bl, bl, M_PI / 2, M_PI);
    cairo_arc(cairo, x + tl, y + tl, tl, M_PI, 3 * M_PI / 2);
    cairo_close_path(cairo);
}

bool sameBox(const litehtml::position& a, const litehtml::position& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// A picture as a cairo surface: premultiplied ARGB in native byte order.
CairoSurface surfaceFor(const HtmlPicture& picture) {
    CairoSurface surface(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, picture.width, picture.height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    cairo_surface_flush(surface.get());
    unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < picture.height; ++y) {
        auto* row =
            reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        const std::uint8_t* in =
            picture.rgba.data() + static_cast<std::size_t>(y) * picture.width * 4;
        for (int x = 0; x < picture.width; ++x, in += 4) {
            const std::uint32_t a = in[3];
            const auto premultiply = [a](std::uint32_t c) { return (c * a + 127) / 255; };
            row[x] =
                a << 24 | premultiply(in[0]) << 16 | premultiply(in[1]) << 8 | premultiply(in[2]);
        }
    }
    cairo_surface_mark_dirty(surface.get());
    return surface;
}

class Container final : public litehtml::document_container {
  public:
    Container(int width, HtmlResources resources)
        : m_width(width), m_resources(std::move(resources)), m_fontMap(pango_cairo_font_map_new()),
          m_pango(pango_font_map_create_context(m_fontMap.get())),
          m_noAttributes(pango_attr_list_new()) {
        // Outline metrics, unhinted: what is measured here is what the PDF shows.
        FontOptions options(cairo_font_options_create());
        cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
        cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
        pango_cairo_context_set_font_options(m_pango.get(), options.get());
        // Text is itemised in the default language; fonts loaded for their metrics in the same
        // one share its font sets (a font set without a language would be sorted again).
        pango_context_set_language(m_pango.get(), pango_language_get_default());
        pango_context_changed(m_pango.get());
    }

    /// One drawing call of the laid-out document, kept to be replayed on the pages it touches.
    struct Command {
        int top = 0;
        int bottom = 0;
        std::vector<litehtml::position> clips;
        std::function<void(cairo_t*)> draw;
        /// Text is drawn only on the page where it starts: a page edge may cut a line's glyph
        /// box where it overlaps the next line, and text drawn on both pages would read twice.
        bool once = false;
    };

    /// While recording, drawing calls are kept as commands and lines and pictures noted as bands.
    void record(std::vector<HtmlBand>* bands, std::vector<Command>* commands) {
        m_bands = bands;
        m_commands = commands;
    }
    /// Draws one kept command with the clips it was made under.
    void replay(const Command& command, cairo_t* cairo) {
        m_clips = command.clips;
        command.draw(cairo);
        m_clips.clear();
    }

    litehtml::uint_ptr create_font(const litehtml::tchar_t* faceName, int size, int weight,
                                   litehtml::font_style italic, unsigned int decoration,
                                   litehtml::font_metrics* fm) override {
        auto font = std::make_unique<Font>();
        font->description.reset(pango_font_description_new());
        pango_font_description_set_family(font->description.get(),
                                          familyList(faceName ? faceName : "").c_str());
        pango_font_description_set_absolute_size(font->description.get(),
                                                 std::max(size, 1) * PANGO_SCALE);
        pango_font_description_set_weight(font->description.get(),
                                          static_cast<PangoWeight>(std::clamp(weight, 100, 1000)));
        pango_font_description_set_style(font->description.get(),
                                         italic == litehtml::fontStyleItalic ? PANGO_STYLE_ITALIC
                                                                             : PANGO_STYLE_NORMAL);
        font->decoration = decoration;
        PangoFontHandle loaded(
            pango_font_map_load_font(m_fontMap.get(), m_pango.get(), font->description.get()));
        if (loaded &&
            !hb_ot_color_has_png(hb_font_get_face(pango_font_get_hb_font(loaded.get())))) {
            // The face's own metrics, as pango reads them: asking pango would also set a sample
            // text in the resolved family, one more fontconfig sort per font.
            hb_font_t* face = pango_font_get_hb_font(loaded.get());
            hb_font_extents_t extents{};
            hb_font_get_extents_for_direction(face, HB_DIRECTION_LTR, &extents);
            hb_position_t thickness = 0, offset = 0;
            if (!hb_ot_metrics_get_position(face, HB_OT_METRICS_TAG_UNDERLINE_SIZE, &thickness) ||
                thickness == 0)
                thickness = PANGO_SCALE;
            if (!hb_ot_metrics_get_position(face, HB_OT_METRICS_TAG_UNDERLINE_OFFSET, &offset) ||
                offset == 0)
                offset = -PANGO_SCALE;
            setMetrics(*font, extents.ascender, -extents.descender, offset, thickness);
        } else if (loaded) {
            // Bitmap emoji faces: pango scales their strikes its own way.
            Metrics metrics(pango_font_get_metrics(loaded.get(), nullptr));
            setMetrics(*font, pango_font_metrics_get_ascent(metrics.get()),
                       pango_font_metrics_get_descent(metrics.get()),
                       pango_font_metrics_get_underline_position(metrics.get()),
                       pango_font_metrics_get_underline_thickness(metrics.get()));
        } else {
            font->ascent = size * 4 / 5;
            font->descent = size - font->ascent;
        }
        if (fm != nullptr) {
            fm->ascent = font->ascent;
            fm->descent = font->descent;
            fm->height = font->ascent + font->descent;
            fm->x_height = std::max(1, size / 2);
            fm->draw_spaces = decoration != litehtml::font_decoration_none;
        }
        return reinterpret_cast<litehtml::uint_ptr>(font.release());
    }

    // Metrics in pango units; the underline offset is above the baseline.
    static void setMetrics(Font& font, int ascent, int descent, int underlineOffset,
                           int thickness) {
        font.ascent = PANGO_PIXELS_CEIL(ascent);
        font.descent = PANGO_PIXELS_CEIL(descent);
        font.underlinePosition = -static_cast<double>(underlineOffset) / PANGO_SCALE;
        font.lineThickness = std::max(1.0, static_cast<double>(thickness) / PANGO_SCALE);
    }

    void delete_font(litehtml::uint_ptr hFont) override {
        delete reinterpret_cast<Font*>(hFont); // NOLINT: litehtml hands back what create_font made
    }

    int text_width(const litehtml::tchar_t* text, litehtml::uint_ptr hFont) override {
        auto* font = reinterpret_cast<Font*>(hFont);
        if (font == nullptr || text == nullptr)
            return 0;
        return shaped(text, *font).second.width;
    }

    /// The page box's own background (body) is the white page, not a background of its own.
    void setPageBox(const litehtml::position& box) { m_pageBox = box; }

    void draw_text(litehtml::uint_ptr hdc, const litehtml::tchar_t* text, litehtml::uint_ptr hFont,
                   litehtml::web_color color, const litehtml::position& pos) override {
        auto* font = reinterpret_cast<Font*>(hFont);
        if (m_bands != nullptr) {
            color = readableOnPage(color, pos);
            m_bands->push_back({pos.y, pos.bottom()});
            if (font == nullptr || text == nullptr)
                return;
            const ShapedEntry* entry = &shaped(text, *font);
            covered(pos);
            keep(pos.y, pos.bottom(), [this, entry, font, color, pos](cairo_t* cairo) {
                drawShaped(cairo, *entry, *font, color, pos);
            });
            m_commands->back().once = true;
            return;
        }
        auto* cairo = reinterpret_cast<cairo_t*>(hdc);
        if (cairo != nullptr && font != nullptr && text != nullptr)
            drawShaped(cairo, shaped(text, *font), *font, color, pos);
    }

    void drawShaped(cairo_t* cairo, const ShapedEntry& entry, const Font& font,
                    litehtml::web_color color, const litehtml::position& pos) {
        // Named, not bound: clang does not let a lambda capture structured bindings.
        const std::string& text = entry.first;
        const auto& shaped = entry.second;
        clipped(cairo, [&] {
            setColor(cairo, color);
            const double baseline = pos.bottom() - font.descent;
            for (const auto& run : shaped.runs) {
                cairo_move_to(cairo, pos.x + static_cast<double>(run.x) / PANGO_SCALE, baseline);
                PangoGlyphItem glyphs{};
                glyphs.item = run.item.get();
                glyphs.glyphs = run.glyphs.get();
                // With the text, so that the PDF maps ligatures and clusters back to it.
                pango_cairo_show_glyph_item(cairo, text.c_str(), &glyphs);
            }
            const auto line = [&](double y) {
                cairo_rectangle(cairo, pos.x, y, shaped.width, font.lineThickness);
                cairo_fill(cairo);
            };
            if (font.decoration & litehtml::font_decoration_underline)
                line(baseline + font.underlinePosition);
            if (font.decoration & litehtml::font_decoration_linethrough)
                line(baseline - font.ascent * 0.3);
            if (font.decoration & litehtml::font_decoration_overline)
                line(baseline - font.ascent);
        });
    }

    int pt_to_px(int pt) const override { return static_cast<int>(std::lround(pt * 96.0 / 72.0)); }
    int get_default_font_size() const override { return 16; }
    const litehtml::tchar_t* get_default_font_name() const override { return "sans-serif"; }

    void draw_list_marker(litehtml::uint_ptr hdc, const litehtml::list_marker& marker) override {
        if (m_bands != nullptr) {
            litehtml::list_marker copy = marker;
            copy.color = readableOnPage(marker.color, marker.pos);
            copy.baseurl = nullptr; // not kept by litehtml beyond this call, and not needed
            covered(marker.pos);
            keep(marker.pos.y, marker.pos.bottom(), [this, copy](cairo_t* cairo) {
                draw_list_marker(reinterpret_cast<litehtml::uint_ptr>(cairo), copy);
            });
            return;
        }
        auto* cairo = reinterpret_cast<cairo_t*>(hdc);
        if (!marker.image.empty()) {
            if (auto* picture = pictureFor(marker.image))
                clipped(cairo, [&] { paintPicture(cairo, picture, marker.pos); });
            return;
        }
        clipped(cairo, [&] {
            setColor(cairo, marker.color);
            const auto& p = marker.pos;
            switch (marker.marker_type) {
            case litehtml::list_style_type_circle:
                cairo_set_line_width(cairo, 1);
                cairo_arc(cairo, p.x + p.width / 2.0, p.y + p.height / 2.0,
                          std::max(1.0, p.width / 2.0 - 0.5), 0, 2 * M_PI);
                cairo_stroke(cairo);
                break;
            case litehtml::list_style_type_square:
                cairo_rectangle(cairo, p.x, p.y, p.width, p.height);
                cairo_fill(cairo);
                break;
            case litehtml::list_style_type_none: break;
            default:
                cairo_arc(cairo, p.x + p.width / 2.0, p.y + p.height / 2.0, p.width / 2.0, 0,
                          2 * M_PI);
                cairo_fill(cairo);
                break;
            }
        });
    }

    void load_image(const litehtml::tchar_t* src, const litehtml::tchar_t*, bool) override {
        if (src != nullptr)
            pictureFor(src);
    }

    void get_image_size(const litehtml::tchar_t* src, const litehtml::tchar_t*,
                        litehtml::size& sz) override {
        cairo_surface_t* picture = src != nullptr ? pictureFor(src) : nullptr;
        sz.width = picture ? cairo_image_surface_get_width(picture) : 0;
        sz.height = picture ? cairo_image_surface_get_height(picture) : 0;
    }

    void draw_background(litehtml::uint_ptr hdc, const litehtml::background_paint& bg) override {
        cairo_surface_t* picture = bg.image.empty() ? nullptr : pictureFor(bg.image);
        if (m_bands != nullptr) {
            if (picture != nullptr)
                m_bands->push_back({bg.clip_box.y, bg.clip_box.bottom()});
            if ((picture != nullptr || bg.color.alpha > 0) && !bg.is_root &&
                !sameBox(bg.border_box, m_pageBox))
                m_covers.push_back(bg.clip_box);
            covered(bg.clip_box);
            keep(bg.clip_box.y, bg.clip_box.bottom(), [this, bg](cairo_t* cairo) {
                draw_background(reinterpret_cast<litehtml::uint_ptr>(cairo), bg);
            });
            return;
        }
        auto* cairo = reinterpret_cast<cairo_t*>(hdc);
        clipped(cairo, [&] {
            roundedRectangle(cairo, bg.border_box, bg.border_radius);
            cairo_clip(cairo);
            cairo_rectangle(cairo, bg.clip_box.x, bg.clip_box.y, bg.clip_box.width,
                            bg.clip_box.height);
            cairo_clip(cairo);
            if (bg.color.alpha > 0) {
                setColor(cairo, bg.color);
                cairo_paint(cairo);
            }
            if (picture == nullptr || bg.image_size.width <= 0 || bg.image_size.height <= 0)
                return;
            const double x = bg.position_x, y = bg.position_y;
            const double w = bg.image_size.width, h = bg.image_size.height;
            cairo_save(cairo);
            cairo_translate(cairo, x, y);
            cairo_scale(cairo, w / cairo_image_surface_get_width(picture),
                        h / cairo_image_surface_get_height(picture));
            Pattern pattern(cairo_pattern_create_for_surface(picture));
            cairo_pattern_set_filter(pattern.get(), CAIRO_FILTER_GOOD);
            cairo_set_source(cairo, pattern.get());
            switch (bg.repeat) {
            case litehtml::background_repeat_no_repeat:
                cairo_rectangle(cairo, 0, 0, cairo_image_surface_get_width(picture),
                                cairo_image_surface_get_height(picture));
                cairo_fill(cairo);
                break;
            default:
                // Repeating in one direction is drawn as repeating in both, within the clip.
                cairo_pattern_set_extend(pattern.get(), CAIRO_EXTEND_REPEAT);
                cairo_paint(cairo);
                break;
            }
            cairo_restore(cairo);
        });
    }

    void draw_borders(litehtml::uint_ptr hdc, const litehtml::borders& borders,
                      const litehtml::position& box, bool) override {
        if (m_bands != nullptr) {
            const unsigned repeated = repeatedSides(borders, box);
            keep(box.y, box.bottom(), [this, borders, box, repeated](cairo_t* cairo) {
                drawBorders(cairo, borders, box, repeated);
            });
            return;
        }
        drawBorders(reinterpret_cast<cairo_t*>(hdc), borders, box, 0);
    }

    // The four sides of a border box, top, bottom, left, right: {x, y, width, height}.
    static std::array<std::array<int, 4>, 4> sideBoxes(const litehtml::borders& borders,
                                                       const litehtml::position& box) {
        return {{{box.x, box.y, box.width, borders.top.width},
                 {box.x, box.bottom() - borders.bottom.width, box.width, borders.bottom.width},
                 {box.x, box.y, borders.left.width, box.height},
                 {box.right() - borders.right.width, box.y, borders.right.width, box.height}}};
    }

    // Collapsed table borders: each cell draws the sides it shares with its neighbours, so most
    // are drawn twice, one a few commands after the other. A solid opaque side that repeats one
    // still showing (nothing drawn over it since, same clips) is left out: bit i for side i.
    unsigned repeatedSides(const litehtml::borders& borders, const litehtml::position& box) {
        if (m_clips.size() != m_sidesClips.size() ||
            !std::equal(m_clips.begin(), m_clips.end(), m_sidesClips.begin(), sameBox)) {
            m_recentSides.clear();
            m_sidesClips = m_clips;
        }
        const std::array<const litehtml::border*, 4> sides{&borders.top, &borders.bottom,
                                                           &borders.left, &borders.right};
        const auto boxes = sideBoxes(borders, box);
        unsigned repeated = 0;
        for (std::size_t i = 0; i < sides.size(); ++i) {
            const litehtml::border& border = *sides[i];
            if (border.width <= 0 || border.color.alpha != 255 ||
                border.style == litehtml::border_style_none ||
                border.style == litehtml::border_style_hidden ||
                border.style == litehtml::border_style_dotted ||
                border.style == litehtml::border_style_dashed)
                continue;
            const DrawnSide side{boxes[i], border.color};
            const auto same = [&](const DrawnSide& drawn) {
                return drawn.box == side.box && drawn.color.red == side.color.red &&
                       drawn.color.green == side.color.green && drawn.color.blue == side.color.blue;
            };
            if (std::any_of(m_recentSides.begin(), m_recentSides.end(), same)) {
                repeated |= 1U << i;
                continue;
            }
            if (m_recentSides.size() == kRecentSides)
                m_recentSides.erase(m_recentSides.begin());
            m_recentSides.push_back(side);
        }
        return repeated;
    }

    // Something is drawn over `box`: a side there, drawn again, would show over it.
    void covered(const litehtml::position& box) {
        std::erase_if(m_recentSides, [&](const DrawnSide& side) {
            const auto& [x, y, w, h] = side.box;
            return x <= box.right() && box.x <= x + w && y <= box.bottom() && box.y <= y + h;
        });
    }

    void drawBorders(cairo_t* cairo, const litehtml::borders& borders,
                     const litehtml::position& box, unsigned repeated) {
        clipped(cairo, [&] {
            const auto side = [&](const litehtml::border& border, double x, double y, double w,
                                  double h) {
                if (border.width <= 0 || border.style == litehtml::border_style_none ||
                    border.style == litehtml::border_style_hidden)
                    return;
                setColor(cairo, border.color);
                if (border.style == litehtml::border_style_dotted ||
                    border.style == litehtml::border_style_dashed) {
                    const double dash = border.style == litehtml::border_style_dotted
                                            ? border.width
                                            : border.width * 3.0;
                    cairo_set_dash(cairo, &dash, 1, 0);
                    cairo_set_line_width(cairo, border.width);
                    if (w >= h) {
                        cairo_move_to(cairo, x, y + h / 2);
                        cairo_line_to(cairo, x + w, y + h / 2);
                    } else {
                        cairo_move_to(cairo, x + w / 2, y);
                        cairo_line_to(cairo, x + w / 2, y + h);
                    }
                    cairo_stroke(cairo);
                    cairo_set_dash(cairo, nullptr, 0, 0);
                    return;
                }
                cairo_rectangle(cairo, x, y, w, h);
                cairo_fill(cairo);
            };
            const std::array<const litehtml::border*, 4> sides{&borders.top, &borders.bottom,
                                                               &borders.left, &borders.right};
            const auto boxes = sideBoxes(borders, box);
            for (std::size_t i = 0; i < sides.size(); ++i)
                if ((repeated & (1U << i)) == 0)
                    side(*sides[i], boxes[i][0], boxes[i][1], boxes[i][2], boxes[i][3]);
        });
    }

    void set_caption(const litehtml::tchar_t*) override {}
    void set_base_url(const litehtml::tchar_t*) override {}
    void link(const std::shared_ptr<litehtml::document>&, const litehtml::element::ptr&) override {}
    void on_anchor_click(const litehtml::tchar_t*, const litehtml::element::ptr&) override {}
    void set_cursor(const litehtml::tchar_t*) override {}

    void transform_text(litehtml::tstring& text, litehtml::text_transform tt) override {
        if (text.empty())
            return;
        const auto apply = [&](gchar* (*change)(const gchar*, gssize), std::size_t bytes) {
            gchar* changed = change(text.c_str(), static_cast<gssize>(bytes));
            text = changed + text.substr(bytes);
            g_free(changed);
        };
        switch (tt) {
        case litehtml::text_transform_uppercase: apply(&g_utf8_strup, text.size()); break;
        case litehtml::text_transform_lowercase: apply(&g_utf8_strdown, text.size()); break;
        case litehtml::text_transform_capitalize: {
            const char* next = g_utf8_next_char(text.c_str());
            apply(&g_utf8_strup, static_cast<std::size_t>(next - text.c_str()));
            break;
        }
        default: break;
        }
    }

    void import_css(litehtml::tstring& text, const litehtml::tstring& url,
                    litehtml::tstring&) override {
        std::optional<std::string> sheet;
        if (m_resources.styleSheet)
            sheet = m_resources.styleSheet(url);
        text = sheet.value_or(std::string());
    }

    void set_clip(const litehtml::position& pos, const litehtml::border_radiuses&, bool validX,
                  bool validY) override {
        litehtml::position clip = pos;
        if (!validX) {
            clip.x = -1'000'000;
            clip.width = 2'000'000;
        }
        if (!validY) {
            clip.y = -1'000'000'000;
            clip.height = 2'000'000'000;
        }
        m_clips.push_back(clip);
    }
    void del_clip() override {
        if (!m_clips.empty())
            m_clips.pop_back();
    }

    void get_client_rect(litehtml::position& client) const override {
        client = litehtml::position(0, 0, m_width, 1056);
    }

    std::shared_ptr<litehtml::element>
    create_element(const litehtml::tchar_t* tagName, const litehtml::string_map&,
                   const std::shared_ptr<litehtml::document>& doc) override {
        return makeIndexedElement(tagName, doc);
    }

    void get_media_features(litehtml::media_features& media) const override {
        media.type = litehtml::media_type_screen;
        media.width = media.device_width = m_width;
        media.height = media.device_height = 1056;
        media.color = 8;
        media.color_index = 0;
        media.monochrome = 0;
        media.resolution = 96;
    }

    void get_language(litehtml::tstring& language, litehtml::tstring& culture) const override {
        language = "en";
        culture.clear();
    }

  private:
    // Text too light to read on white (contrast under 1.5 : 1 once its alpha is applied) turns
    // dark where nothing but the white page is behind it; on a background of its own it stays.
    litehtml::web_color readableOnPage(litehtml::web_color color, const litehtml::position& pos) {
        if (color.alpha == 0)
            return color; // hidden on purpose, not written for a dark page
        const auto luminance = [&](int channel) {
            const double on = (channel * color.alpha + 255.0 * (255 - color.alpha)) / 255.0 / 255.0;
            return on <= 0.04045 ? on / 12.92 : std::pow((on + 0.055) / 1.055, 2.4);
        };
        const double light = 0.2126 * luminance(color.red) + 0.7152 * luminance(color.green) +
                             0.0722 * luminance(color.blue);
        if (1.05 / (light + 0.05) >= 1.5)
            return color;
        const int x = pos.x + pos.width / 2, y = pos.y + pos.height / 2;
        for (const auto& cover : m_covers)
            if (cover.is_point_inside(x, y))
                return color;
        return litehtml::web_color(0x1a, 0x1a, 0x1a, 255);
    }

    template <typename Draw> void keep(int top, int bottom, Draw&& draw) {
        m_commands->push_back({top, bottom, m_clips, std::forward<Draw>(draw)});
    }

    // `text` in `font`, shaped the first time it is asked for.
    const ShapedEntry& shaped(const char* text, Font& font) {
        const auto [it, added] = font.texts.try_emplace(text);
        if (!added)
            return *it;
        const std::string& chars = it->first;
        ShapedText& out = it->second;
        // What a one-line pango layout does: the direction from the first strong character,
        // pango's items with their fallback fonts, shaped and put in visual order. Unlike a
        // layout, a line or paragraph separator does not end the text (nor lose what follows).
        pango_context_set_font_description(m_pango.get(), font.description.get());
        // Deprecated for applications, yet still what the layout itself calls.
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        PangoDirection direction = pango_find_base_dir(chars.c_str(), -1);
        G_GNUC_END_IGNORE_DEPRECATIONS
        if (direction == PANGO_DIRECTION_NEUTRAL)
            direction = pango_context_get_base_dir(m_pango.get());
        GList* items = pango_itemize_with_base_dir(m_pango.get(), direction, chars.c_str(), 0,
                                                   static_cast<int>(chars.size()),
                                                   m_noAttributes.get(), nullptr);
        const auto flags = pango_context_get_round_glyph_positions(m_pango.get())
                               ? PANGO_SHAPE_ROUND_POSITIONS
                               : PANGO_SHAPE_NONE;
        GList* visual = pango_reorder_items(items);
        int x = 0;
        for (GList* node = visual; node != nullptr; node = node->next) {
            auto* item = static_cast<PangoItem*>(node->data);
            Glyphs glyphs(pango_glyph_string_new());
            pango_shape_with_flags(chars.c_str() + item->offset, item->length, chars.c_str(),
                                   static_cast<int>(chars.size()), &item->analysis, glyphs.get(),
                                   flags);
            const int width = pango_glyph_string_get_width(glyphs.get());
            out.runs.push_back({x, Item(item), std::move(glyphs)});
            x += width;
        }
        g_list_free(visual);
        g_list_free(items);
        out.width = PANGO_PIXELS_CEIL(x);
        return *it;
    }

    // Runs `draw` inside the clip rectangles litehtml has set.
    template <typename Draw> void clipped(cairo_t* cairo, Draw&& draw) {
        if (cairo == nullptr)
            return;
        cairo_save(cairo);
        // Text leaves a current point behind; shapes must not start from it.
        cairo_new_path(cairo);
        for (const auto& clip : m_clips) {
            cairo_rectangle(cairo, clip.x, clip.y, clip.width, clip.height);
            cairo_clip(cairo);
        }
        draw();
        cairo_restore(cairo);
    }

    void paintPicture(cairo_t* cairo, cairo_surface_t* picture, const litehtml::position& box) {
        cairo_save(cairo);
        cairo_translate(cairo, box.x, box.y);
        cairo_scale(cairo, static_cast<double>(box.width) / cairo_image_surface_get_width(picture),
                    static_cast<double>(box.height) / cairo_image_surface_get_height(picture));
        cairo_set_source_surface(cairo, picture, 0, 0);
        cairo_paint(cairo);
        cairo_restore(cairo);
    }

    cairo_surface_t* pictureFor(const std::string& reference) {
        const auto [it, added] = m_pictures.try_emplace(reference, nullptr);
        if (added && m_resources.picture) {
            if (const auto picture = m_resources.picture(reference);
                picture && picture->width > 0 && picture->height > 0 &&
                picture->rgba.size() ==
                    static_cast<std::size_t>(picture->width) * picture->height * 4)
                it->second = surfaceFor(*picture);
        }
        return it->second.get();
    }

    int m_width;
    HtmlResources m_resources;
    FontMap m_fontMap;
    PangoContextHandle m_pango;
    Attributes m_noAttributes;
    std::vector<litehtml::position> m_clips;
    std::unordered_map<std::string, CairoSurface> m_pictures;
    std::vector<HtmlBand>* m_bands = nullptr;
    std::vector<Command>* m_commands = nullptr;
    litehtml::position m_pageBox;
    std::vector<litehtml::position> m_covers; // backgrounds drawn so far, the page's excepted
    struct DrawnSide {
        std::array<int, 4> box;
        litehtml::web_color color;
    };
    static constexpr std::size_t kRecentSides = 64;
    std::vector<DrawnSide> m_recentSides;         // solid sides recorded lately and not drawn over
    std::vector<litehtml::position> m_sidesClips; // the clips they were recorded under
};

// Table rows as bands, so that a page edge moves above a row rather than cutting its borders
// and background; a row is as tall as the union of its cells' border boxes.
void addTableRows(const litehtml::element::ptr& element, std::vector<HtmlBand>& bands) {
    if (!element || element->get_display() == litehtml::display_none)
        return;
    const bool row = element->get_display() == litehtml::display_table_row;
    std::optional<HtmlBand> span;
    for (std::size_t i = 0; i < element->get_children_count(); ++i) {
        const auto child = element->get_child(static_cast<int>(i));
        if (row && child && child->get_display() == litehtml::display_table_cell) {
            const litehtml::position box = child->get_placement();
            const HtmlBand cell{box.top() - child->padding_top() - child->border_top(),
                                box.bottom() + child->padding_bottom() + child->border_bottom()};
            span =
                span ? HtmlBand{std::min(span->top, cell.top), std::max(span->bottom, cell.bottom)}
                     : cell;
        }
        addTableRows(child, bands);
    }
    if (span)
        bands.push_back(*span);
}

} // namespace

struct HtmlLayout::State {
    State(int layoutWidth, HtmlResources resources)
        : container(layoutWidth, std::move(resources)), width(layoutWidth) {}
    litehtml::context context;
    Container container;
    litehtml::document::ptr document;
    int width = 0;
    // What drawing the whole document once produced: pages replay only the commands they touch.
    std::vector<HtmlBand> bands;
    std::vector<Container::Command> commands;
    // For every kBucketRows rows from the top, the commands that touch them, in drawing order: a
    // page looks up its own instead of testing all of a long document's commands.
    static constexpr int kBucketRows = 256;
    std::vector<std::vector<std::uint32_t>> buckets;

    std::size_t bucketOf(int row) const {
        return std::min(static_cast<std::size_t>(std::max(row, 0) / kBucketRows),
                        buckets.size() - 1);
    }
    void fillBuckets(int rows) {
        buckets.assign(static_cast<std::size_t>(std::max(rows, 1) / kBucketRows + 1), {});
        for (std::size_t i = 0; i < commands.size(); ++i) {
            const auto [low, high] = std::minmax(commands[i].top, commands[i].bottom);
            for (std::size_t b = bucketOf(low); b <= bucketOf(high); ++b)
                buckets[b].push_back(static_cast<std::uint32_t>(i));
        }
    }
};

struct PdfPages::State {
    CairoSurface surface;
    Cairo cairo;
};

HtmlLayout::HtmlLayout(const std::string& html, const std::string& defaultStyle, int width,
                       HtmlResources resources) {
    // The page's own style sheets reach litehtml rewritten into CSS it reads correctly.
    auto styles = std::make_shared<PageStyles>(html, resources.styleSheet);
    resources.styleSheet = [styles](const std::string& reference) {
        return styles->sheet(reference);
    };
    m_state = std::make_unique<State>(width, std::move(resources));
    m_state->context.load_master_stylesheet(defaultStyle.c_str());
    m_state->document = litehtml::document::createFromUTF8(styles->html().c_str(),
                                                           &m_state->container, &m_state->context);
    if (!m_state->document)
        throw PlatformError("The HTML could not be parsed");
    m_state->document->render(width);
    // One drawing pass over the whole document; a pass per page would walk every element again.
    if (const auto body = m_state->document->root()->select_one("body")) {
        litehtml::position box = body->get_placement();
        box.x -= body->padding_left() + body->border_left();
        box.y -= body->padding_top() + body->border_top();
        box.width += body->padding_left() + body->border_left() + body->padding_right() +
                     body->border_right();
        box.height += body->padding_top() + body->border_top() + body->padding_bottom() +
                      body->border_bottom();
        m_state->container.setPageBox(box);
    }
    m_state->container.record(&m_state->bands, &m_state->commands);
    const litehtml::position everything(0, 0, std::max(width, m_state->document->width()),
                                        std::max(height(), 1));
    m_state->document->draw(0, 0, 0, &everything);
    m_state->container.record(nullptr, nullptr);
    m_state->fillBuckets(std::max(height(), 1));
    addTableRows(m_state->document->root(), m_state->bands);
}

HtmlLayout::~HtmlLayout() {
    // The document frees its fonts through the container, so it goes first.
    if (m_state)
        m_state->document.reset();
}

int HtmlLayout::height() const {
    return m_state->document->height();
}

std::vector<HtmlBand> HtmlLayout::bands() const {
    return m_state->bands;
}

void HtmlLayout::drawSlice(PdfPages& pages, int top, int rows, double scale) const {
    cairo_t* cairo = pages.state().cairo.get();
    cairo_save(cairo);
    cairo_scale(cairo, scale, scale);
    cairo_rectangle(cairo, 0, 0, m_state->width, rows);
    cairo_clip(cairo);
    cairo_translate(cairo, 0, -top);
    std::vector<std::uint32_t> touching;
    for (std::size_t b = m_state->bucketOf(top); b <= m_state->bucketOf(top + rows); ++b)
        touching.insert(touching.end(), m_state->buckets[b].begin(), m_state->buckets[b].end());
    std::sort(touching.begin(), touching.end());
    touching.erase(std::unique(touching.begin(), touching.end()), touching.end());
    for (const std::uint32_t i : touching) {
        const auto& command = m_state->commands[i];
        const bool onThisPage = command.once
                                    ? command.top < top + rows && (command.top >= top || top == 0)
                                    : command.bottom >= top && command.top <= top + rows;
        if (onThisPage)
            m_state->container.replay(command, cairo);
    }
    cairo_restore(cairo);
}

PdfPages::PdfPages(const std::filesystem::path& file) : m_state(std::make_unique<State>()) {
    m_state->surface.reset(cairo_pdf_surface_create(file.c_str(), 612, 792));
    if (cairo_surface_status(m_state->surface.get()) != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(cairo_surface_status(m_state->surface.get())));
    m_state->cairo.reset(cairo_create(m_state->surface.get()));
}

PdfPages::~PdfPages() = default;

void PdfPages::beginPage(double width, double height) {
    cairo_t* cairo = m_state->cairo.get();
    if (m_pageOpen)
        cairo_show_page(cairo);
    cairo_pdf_surface_set_size(m_state->surface.get(), width, height);
    cairo_set_source_rgb(cairo, 1, 1, 1);
    cairo_paint(cairo);
    m_pageOpen = true;
    ++m_pages;
}

void PdfPages::finish() {
    if (m_pageOpen)
        cairo_show_page(m_state->cairo.get());
    m_pageOpen = false;
    cairo_surface_finish(m_state->surface.get());
    if (const auto status = cairo_surface_status(m_state->surface.get());
        status != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(status));
}

} // namespace kv::platform
