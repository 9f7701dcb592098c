// Paragraphs set on PDF pages. Paragraphs in one font whose characters each come out as one glyph,
// the same alone as among neighbours, are set from a glyph table filled by pango once per
// character, broken into lines here and drawn in long glyph runs; any other paragraph is laid out
// by pango as a whole.
#include "platform/pdf/text_pages.h"

#include "platform/c_handle.h"
#include "platform/cairo_handles.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <cairo-pdf.h>
#include <cairo.h>
#include <cmath>
#include <cstdint>
#include <hb-ot.h>
#include <optional>
#include <pango/pangocairo.h>
#include <unordered_map>
#include <vector>

namespace kv::platform {
namespace {

using PangoContextHandle = CHandle<PangoContext, &unrefObject>;
using Layout = CHandle<PangoLayout, &unrefObject>;
using AttrList = CHandle<PangoAttrList, &pango_attr_list_unref>;
using FontDescription = CHandle<PangoFontDescription, &pango_font_description_free>;
using LayoutIter = CHandle<PangoLayoutIter, &pango_layout_iter_free>;
using FontHandle = CHandle<PangoFont, &unrefObject>;
using ScaledFont = CHandle<cairo_scaled_font_t, &cairo_scaled_font_destroy>;
using GlyphSet = CHandle<hb_set_t, &hb_set_destroy>;

constexpr guint16 kLinkRed = 0x0000, kLinkGreen = 0x4400, kLinkBlue = 0xCCCC; // #0044CC
constexpr int kTabColumns = 8;     // pango's default tab stops: every 8 spaces
constexpr double kFitSlack = 1e-6; // points; a line exactly as wide as the text area fits

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

// Characters a font draws as one glyph that its neighbours leave alone: scripts set left to right
// without reordering or joining, and no combining marks, joiners, selectors, controls or invisible
// formatting. A glyph found for such a character alone is its glyph in any paragraph. (Spaces a
// font has no glyph for, which pango makes from a width alone, stay with pango.)
bool standsAlone(char32_t c) {
    const auto in = [c](char32_t first, char32_t last) { return c >= first && c <= last; };
    if (c == ' ')
        return true;
    if (c < 0x20 || in(0x7F, 0x9F) || c == 0xAD || in(0x1100, 0x11FF) || in(0xA960, 0xA97F) ||
        in(0xD7B0, 0xD7FF) || in(0x1F1E6, 0x1F1FF) || in(0x1F3FB, 0x1F3FF))
        return false; // controls, soft hyphen, conjoining jamo, flag letters, skin tones
    switch (g_unichar_type(c)) {
    case G_UNICODE_CONTROL:
    case G_UNICODE_FORMAT:
    case G_UNICODE_UNASSIGNED:
    case G_UNICODE_PRIVATE_USE:
    case G_UNICODE_SURROGATE:
    case G_UNICODE_SPACING_MARK:
    case G_UNICODE_ENCLOSING_MARK:
    case G_UNICODE_NON_SPACING_MARK:
    case G_UNICODE_LINE_SEPARATOR:
    case G_UNICODE_PARAGRAPH_SEPARATOR: return false;
    default: break;
    }
    switch (g_unichar_get_script(c)) {
    case G_UNICODE_SCRIPT_COMMON:
    case G_UNICODE_SCRIPT_LATIN:
    case G_UNICODE_SCRIPT_GREEK:
    case G_UNICODE_SCRIPT_CYRILLIC:
    case G_UNICODE_SCRIPT_HAN:
    case G_UNICODE_SCRIPT_HIRAGANA:
    case G_UNICODE_SCRIPT_KATAKANA:
    case G_UNICODE_SCRIPT_HANGUL:
    case G_UNICODE_SCRIPT_BOPOMOFO: return true;
    default: return false;
    }
}

// Decodes one character of well-formed UTF-8 at `at`; 0 past the end or on a malformed byte.
char32_t nextChar(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    at += length;
    return c;
}

// Lookups that make a glyph depend on its neighbours: ligatures, contextual alternates, kerning
// and cursive attachment. Composition (ccmp) and mark placement only act on the combining
// characters, joiners and selectors that never reach the glyph table.
constexpr std::array<hb_tag_t, 8> kNeighbourFeatures{
    HB_TAG('l', 'i', 'g', 'a'), HB_TAG('c', 'l', 'i', 'g'), HB_TAG('c', 'a', 'l', 't'),
    HB_TAG('r', 'l', 'i', 'g'), HB_TAG('r', 'c', 'l', 't'), HB_TAG('k', 'e', 'r', 'n'),
    HB_TAG('d', 'i', 's', 't'), HB_TAG('c', 'u', 'r', 's')};

// A font a paragraph's characters were found in, as cairo draws it.
struct FontSlot {
    FontHandle font;
    ScaledFont scaled;
    double ascent = 0, descent = 0;
    bool allNeighbourDependent = false; // kerning or substitution tables harfbuzz reads whole
    GlyphSet neighbourGlyphs;           // glyphs some neighbour-dependent lookup touches
};

// One character as the glyph table sets it.
struct CachedGlyph {
    std::uint32_t index = 0;
    std::uint32_t slot = 0;
    double advance = 0;
};

// The glyphs of one font description, filled as characters are met.
struct GlyphTable {
    static constexpr std::int32_t kUnknown = -1, kNotCached = -2;

    TextFont font;
    Layout probe; // a one-character layout that asks pango which font and glyph it would use
    std::vector<std::int32_t> basic = std::vector<std::int32_t>(0x10000, kUnknown);
    std::unordered_map<char32_t, std::int32_t> supplementary;
    std::vector<CachedGlyph> glyphs;
    double spaceAdvance = 0;
    std::uint32_t spaceSlot = 0;
    bool usable = false; // the font describes a space in a font we can set
};

} // namespace

struct TextPages::State {
    CairoSurface surface;
    CairoContext cairo;
    PangoContextHandle pango;
    Layout layout;
    std::optional<TextFont> layoutFont;
    double width = 0, height = 0, margin = 0;
    int maxPages = 0;
    bool pageOpen = false;
    int pages = 0;
    double y = 0;

    std::vector<FontSlot> slots;
    std::vector<std::unique_ptr<GlyphTable>> tables;

    // One paragraph's characters: bytes in the text, glyph in the current table (or kTab).
    static constexpr std::int32_t kTab = -3;
    struct Char {
        std::uint32_t byte = 0;
        std::uint32_t bytes = 0;
        std::int32_t glyph = 0;
        bool white = false; // a space or tab
    };
    std::vector<Char> chars;
    std::vector<double> advances;
    std::vector<std::size_t> lineEnds;
    std::vector<PangoLogAttr> logAttrs;
    bool breaksFound = false;

    // Glyphs in one font waiting to be drawn in one call: consecutive lines share it.
    std::int64_t runSlot = -1;
    std::vector<cairo_glyph_t> runGlyphs;
    std::vector<cairo_text_cluster_t> runClusters;
    std::string runText;

    void flushRun() {
        if (runGlyphs.empty())
            return;
        cairo_set_scaled_font(cairo.get(), slots[static_cast<std::size_t>(runSlot)].scaled.get());
        cairo_show_text_glyphs(cairo.get(), runText.data(), static_cast<int>(runText.size()),
                               runGlyphs.data(), static_cast<int>(runGlyphs.size()),
                               runClusters.data(), static_cast<int>(runClusters.size()),
                               cairo_text_cluster_flags_t{});
        runGlyphs.clear();
        runClusters.clear();
        runText.clear();
    }

    // False at the page limit.
    bool newPage() {
        flushRun();
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

    // A new page when a line of `lineHeight` does not fit below the last one.
    bool placeLine(double lineHeight) {
        const double textHeight = height - 2 * margin;
        return (pageOpen && (y + lineHeight <= textHeight || y == 0)) || newPage();
    }

    bool drawLines() {
        flushRun();
        LayoutIter iter(pango_layout_get_iter(layout.get()));
        do {
            PangoRectangle logical;
            pango_layout_iter_get_line_extents(iter.get(), nullptr, &logical);
            const double top = static_cast<double>(logical.y) / PANGO_SCALE;
            const double lineHeight = static_cast<double>(logical.height) / PANGO_SCALE;
            const double baseline =
                static_cast<double>(pango_layout_iter_get_baseline(iter.get())) / PANGO_SCALE;
            if (!placeLine(lineHeight))
                return false;
            cairo_move_to(cairo.get(), margin + static_cast<double>(logical.x) / PANGO_SCALE,
                          margin + y + (baseline - top));
            pango_cairo_show_layout_line(cairo.get(),
                                         pango_layout_iter_get_line_readonly(iter.get()));
            y += lineHeight;
        } while (pango_layout_iter_next_line(iter.get()));
        return true;
    }

    std::uint32_t slotFor(PangoFont* font, PangoGlyph glyph) {
        for (std::size_t i = 0; i < slots.size(); ++i)
            if (slots[i].font.get() == font)
                return static_cast<std::uint32_t>(i);
        FontSlot slot;
        slot.font.reset(PANGO_FONT(g_object_ref(font)));
        slot.scaled.reset(
            cairo_scaled_font_reference(pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(font))));
        // Pango gives every glyph of a font the font's ascent and descent as its logical box.
        PangoRectangle logical;
        pango_font_get_glyph_extents(font, glyph, nullptr, &logical);
        slot.ascent = static_cast<double>(-logical.y) / PANGO_SCALE;
        slot.descent = static_cast<double>(logical.height + logical.y) / PANGO_SCALE;
        hb_face_t* face = hb_font_get_face(pango_font_get_hb_font(font));
        slot.neighbourGlyphs.reset(hb_set_create());
        for (const hb_tag_t table : {HB_OT_TAG_GSUB, HB_OT_TAG_GPOS}) {
            std::array<hb_tag_t, kNeighbourFeatures.size() + 1> features{};
            std::copy(kNeighbourFeatures.begin(), kNeighbourFeatures.end(), features.begin());
            GlyphSet lookups(hb_set_create());
            hb_ot_layout_collect_lookups(face, table, nullptr, nullptr, features.data(),
                                         lookups.get());
            for (hb_codepoint_t lookup = HB_SET_VALUE_INVALID;
                 hb_set_next(lookups.get(), &lookup);) {
                GlyphSet before(hb_set_create()), input(hb_set_create()), after(hb_set_create());
                hb_ot_layout_lookup_collect_glyphs(face, table, lookup, before.get(), input.get(),
                                                   after.get(), nullptr);
                hb_set_union(slot.neighbourGlyphs.get(), before.get());
                hb_set_union(slot.neighbourGlyphs.get(), input.get());
                hb_set_union(slot.neighbourGlyphs.get(), after.get());
            }
        }
        // Old-style kerning and Apple's layout tables are applied without per-glyph lookups.
        for (const hb_tag_t tag : {HB_TAG('k', 'e', 'r', 'n'), HB_TAG('k', 'e', 'r', 'x'),
                                   HB_TAG('m', 'o', 'r', 'x'), HB_TAG('m', 'o', 'r', 't')}) {
            hb_blob_t* blob = hb_face_reference_table(face, tag);
            slot.allNeighbourDependent = slot.allNeighbourDependent || hb_blob_get_length(blob) > 0;
            hb_blob_destroy(blob);
        }
        slots.push_back(std::move(slot));
        return static_cast<std::uint32_t>(slots.size() - 1);
    }

    // The glyph pango would give `c` in `table`'s font, when it is one glyph set the same among
    // neighbours; kNotCached otherwise.
    std::int32_t lookUp(GlyphTable& table, char32_t c) {
        std::int32_t& entry =
            c < 0x10000 ? table.basic[c]
                        : table.supplementary.try_emplace(c, GlyphTable::kUnknown).first->second;
        if (entry != GlyphTable::kUnknown)
            return entry;
        entry = GlyphTable::kNotCached;
        if (!standsAlone(c))
            return entry;
        std::array<char, 6> utf8{};
        const int length = g_unichar_to_utf8(static_cast<gunichar>(c), utf8.data());
        pango_layout_set_text(table.probe.get(), utf8.data(), length);
        PangoLayoutLine* line = pango_layout_get_line_readonly(table.probe.get(), 0);
        if (line == nullptr || line->runs == nullptr || line->runs->next != nullptr)
            return entry;
        const auto* run = static_cast<const PangoGlyphItem*>(line->runs->data);
        if (run->glyphs->num_glyphs != 1 || run->item->analysis.level % 2 != 0)
            return entry;
        const PangoGlyphInfo& info = run->glyphs->glyphs[0];
        if ((info.glyph & PANGO_GLYPH_UNKNOWN_FLAG) != 0 || info.glyph == PANGO_GLYPH_EMPTY ||
            info.geometry.x_offset != 0 || info.geometry.y_offset != 0)
            return entry;
        const std::uint32_t slotIndex = slotFor(run->item->analysis.font, info.glyph);
        const FontSlot& slot = slots[slotIndex];
        if (slot.allNeighbourDependent || hb_set_has(slot.neighbourGlyphs.get(), info.glyph))
            return entry;
        cairo_glyph_t glyph{info.glyph, 0, 0};
        cairo_text_extents_t extents;
        cairo_scaled_font_glyph_extents(slot.scaled.get(), &glyph, 1, &extents);
        table.glyphs.push_back({info.glyph, slotIndex, extents.x_advance});
        entry = static_cast<std::int32_t>(table.glyphs.size() - 1);
        return entry;
    }

    GlyphTable& tableFor(const TextFont& font) {
        for (const auto& table : tables)
            if (table->font == font)
                return *table;
        auto table = std::make_unique<GlyphTable>();
        table->font = font;
        table->probe.reset(pango_layout_new(pango.get()));
        pango_layout_set_font_description(table->probe.get(), describe(font).get());
        const std::int32_t space = lookUp(*table, U' ');
        if (space >= 0) {
            table->usable = true;
            table->spaceAdvance = table->glyphs[static_cast<std::size_t>(space)].advance;
            table->spaceSlot = table->glyphs[static_cast<std::size_t>(space)].slot;
        }
        tables.push_back(std::move(table));
        return *tables.back();
    }

    // Sets a paragraph from the glyph table: nullopt when one of its characters is not in it,
    // else whether every line found room within the page limit.
    std::optional<bool> cachedParagraph(std::string_view text, GlyphTable& table) {
        if (!table.usable || text.size() >= INT32_MAX)
            return std::nullopt;
        chars.clear();
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t start = at;
            const char32_t c = nextChar(text, at);
            const std::int32_t glyph = c == '\t' ? kTab : c == 0 ? -1 : lookUp(table, c);
            if (glyph < 0 && glyph != kTab)
                return std::nullopt;
            chars.push_back({static_cast<std::uint32_t>(start),
                             static_cast<std::uint32_t>(at - start), glyph, c == ' ' || c == '\t'});
        }
        // Break every line before drawing any: a paragraph pango has to set is not drawn twice.
        if (!breakLines(text, table))
            return std::nullopt;
        std::size_t start = 0;
        for (const std::size_t end : lineEnds) {
            if (!setLine(text, table, start, end))
                return false;
            start = end;
        }
        return true;
    }

    // Where pango may break the paragraph's lines, found when a line first runs past the edge.
    const std::vector<PangoLogAttr>& breaks(std::string_view text) {
        if (breaksFound)
            return logAttrs;
        logAttrs.resize(chars.size() + 1);
        pango_default_break(text.data(), static_cast<int>(text.size()), nullptr, logAttrs.data(),
                            static_cast<int>(logAttrs.size()));
        breaksFound = true;
        return logAttrs;
    }

    // Fills `lineEnds` and `advances`: each line takes what fits, spaces and tabs hanging past the
    // edge, and ends at the last place pango's break rules allow; a word wider than the line is
    // cut between characters, without the hyphen pango would add to the text. False when not even
    // one character fits.
    bool breakLines(std::string_view text, const GlyphTable& table) {
        const double lineWidth = width - 2 * margin;
        const double tabWidth = kTabColumns * table.spaceAdvance;
        advances.resize(chars.size());
        lineEnds.clear();
        breaksFound = false;
        std::size_t start = 0;
        do {
            std::size_t end = start;
            double x = 0;
            for (; end < chars.size(); ++end) {
                const Char& ch = chars[end];
                // A tab reaches the next tab stop at least a space further on.
                const double advance =
                    ch.glyph == kTab ? std::ceil((x + table.spaceAdvance) / tabWidth) * tabWidth - x
                                     : table.glyphs[static_cast<std::size_t>(ch.glyph)].advance;
                // Spaces and tabs may hang past the edge.
                if (!ch.white && end > start && x + advance > lineWidth + kFitSlack) {
                    const auto& attrs = breaks(text);
                    std::size_t at = end;
                    while (at > start && !attrs[at].is_line_break)
                        --at;
                    if (at == start) {
                        // A word wider than the line: as many characters as fit.
                        at = end;
                        while (at > start && !attrs[at].is_char_break)
                            --at;
                        if (at == start)
                            return false;
                    }
                    end = at;
                    break;
                }
                advances[end] = advance;
                x += advance;
            }
            lineEnds.push_back(end);
            start = end;
        } while (start < chars.size());
        return true;
    }

    // Draws chars [start, end) as one line, the advances given.
    bool setLine(std::string_view text, const GlyphTable& table, std::size_t start,
                 std::size_t end) {
        double ascent = 0, descent = 0;
        const auto measure = [&](std::uint32_t slot) {
            ascent = std::max(ascent, slots[slot].ascent);
            descent = std::max(descent, slots[slot].descent);
        };
        measure(table.spaceSlot);
        for (std::size_t i = start; i < end; ++i)
            if (chars[i].glyph != kTab)
                measure(table.glyphs[static_cast<std::size_t>(chars[i].glyph)].slot);
        if (!placeLine(ascent + descent))
            return false;
        const double baseline = margin + y + ascent;
        double x = margin;
        for (std::size_t i = start; i < end; ++i) {
            const Char& ch = chars[i];
            const double advance = advances[i];
            if (ch.glyph != kTab) {
                const CachedGlyph& glyph = table.glyphs[static_cast<std::size_t>(ch.glyph)];
                if (runSlot != glyph.slot) {
                    flushRun();
                    runSlot = glyph.slot;
                }
                runGlyphs.push_back({glyph.index, x, baseline});
                runClusters.push_back({static_cast<int>(ch.bytes), 1});
                runText.append(text.substr(ch.byte, ch.bytes));
            }
            x += advance;
        }
        y += ascent + descent;
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
    // Sizes are in points: one unit per point. Glyphs sit where the font's advances put them, as
    // the glyph table places them, not on whole points.
    pango_cairo_context_set_resolution(s.pango.get(), 72);
    pango_context_set_round_glyph_positions(s.pango.get(), FALSE);
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
    if (s.pageOpen && s.y > 0)
        s.y += spaceBefore;
    if (spans.empty()) {
        if (const auto set = s.cachedParagraph(text, s.tableFor(font)))
            return *set;
    }
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
    return s.drawLines();
}

int TextPages::finish() {
    State& s = *m_state;
    s.flushRun();
    if (s.pageOpen)
        cairo_show_page(s.cairo.get());
    s.pageOpen = false;
    cairo_surface_finish(s.surface.get());
    if (const auto status = cairo_surface_status(s.surface.get()); status != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(status));
    return s.pages;
}

} // namespace kv::platform
