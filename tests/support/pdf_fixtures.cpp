// PDFs made for tests with cairo.
#include "support/pdf_fixtures.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <stdexcept>

namespace kv::test {
namespace {

constexpr double kLetterWidth = 612;
constexpr double kLetterHeight = 792;

template <typename Draw> void writePDF(const std::filesystem::path& file, int pages, Draw draw) {
    cairo_surface_t* surface = cairo_pdf_surface_create(file.c_str(), kLetterWidth, kLetterHeight);
    cairo_t* cairo = cairo_create(surface);
    for (int i = 0; i < pages; ++i) {
        draw(cairo, i);
        cairo_show_page(cairo);
    }
    cairo_destroy(cairo);
    cairo_surface_finish(surface);
    const bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    if (!ok)
        throw std::runtime_error("cairo could not write " + file.string());
}

} // namespace

void writeTextPDF(const std::filesystem::path& file, const std::vector<std::string>& pages) {
    writePDF(file, static_cast<int>(pages.size()), [&](cairo_t* cairo, int i) {
        cairo_select_font_face(cairo, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                               CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cairo, 12);
        cairo_move_to(cairo, 72, 100);
        cairo_show_text(cairo, pages[static_cast<std::size_t>(i)].c_str());
    });
}

void writeImageOnlyPDF(const std::filesystem::path& file) {
    writePDF(file, 1, [](cairo_t* cairo, int) {
        cairo_set_source_rgb(cairo, 0.2, 0.3, 0.4);
        cairo_rectangle(cairo, 72, 72, 300, 200);
        cairo_fill(cairo);
    });
}

} // namespace kv::test
