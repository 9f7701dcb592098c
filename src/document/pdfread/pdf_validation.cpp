// PDF checks on poppler: the page count and the first page's corners.
#include "platform/poppler/pdf_document.h"
#include "validate/validator.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

namespace kv::Validator {

ValidationStatus validatePDF(const std::filesystem::path& file, int expectPages,
                             PDFBackgroundRequirement requirement) {
    std::optional<platform::PdfDocument> document;
    try {
        document.emplace(platform::PdfDocument::open(file));
    } catch (const std::exception&) {
        return ValidationStatus::failed("PDFDocument cannot open file");
    }
    const int pages = document->pageCount();
    if (pages < expectPages)
        return ValidationStatus::failed("PDF has " + std::to_string(pages) +
                                        " pages, expected \u2265 " + std::to_string(expectPages));
    const auto size = document->pageSize(0);
    if (!size)
        return ValidationStatus::passed();

    // Page 0 at a quarter of its size on a transparent raster.
    constexpr double kScale = 0.25;
    const int w = std::max(2, static_cast<int>(size->width * kScale));
    const int h = std::max(2, static_cast<int>(size->height * kScale));
    // A page under 8 points would cover only part of the 2-pixel minimum raster and its corners
    // would read as transparent: scale such a page up to fill the raster.
    const double scale = std::max({kScale, w / size->width, h / size->height});
    const auto bitmap = document->render(0, w, h, scale, false);
    if (!bitmap)
        return ValidationStatus::failed("PDFDocument cannot open file");
    const auto at = [&](int x, int y) {
        return &bitmap->rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                              static_cast<std::size_t>(x)) *
                             4];
    };
    const auto dark = [](const std::uint8_t* pixel) {
        return pixel[0] < 200 || pixel[1] < 200 || pixel[2] < 200;
    };
    // The four pixels one in from the corners.
    const std::array<std::array<int, 2>, 4> corners{
        {{1, 1}, {w - 2, 1}, {1, h - 2}, {w - 2, h - 2}}};
    for (const auto& [x, y] : corners) {
        if (at(x, y)[3] != 0)
            continue;
        return ValidationStatus::failed(requirement == PDFBackgroundRequirement::opaque
                                            ? "Image-PDF corner is transparent \u2014 broken file"
                                            : "PDF corner is transparent \u2014 page lacks "
                                              "background fill (inversion bug)");
    }
    if (requirement == PDFBackgroundRequirement::opaque)
        return ValidationStatus::passed();
    // A dark background covers the page's edges. A glyph, a header bar or a sidebar that reaches
    // a corner covers only some of them: the page is dark when most of its outermost pixels are
    // (the outermost 4 points, inside the margin most pages keep).
    const int left = 0, top = 0, right = w - 1, bottom = h - 1;
    std::size_t ring = 0, darkInRing = 0;
    const std::uint8_t* firstDark = nullptr;
    const auto visit = [&](int x, int y) {
        const std::uint8_t* pixel = at(x, y);
        ++ring;
        if (dark(pixel)) {
            ++darkInRing;
            if (!firstDark)
                firstDark = pixel;
        }
    };
    for (int x = left; x <= right; ++x) {
        visit(x, top);
        if (bottom != top)
            visit(x, bottom);
    }
    for (int y = top + 1; y < bottom; ++y) {
        visit(left, y);
        if (right != left)
            visit(right, y);
    }
    if (darkInRing * 2 <= ring)
        return ValidationStatus::passed();
    // Named by its first dark corner, as the corners are read in order.
    const std::uint8_t* shown = firstDark;
    for (const auto& [x, y] : corners) {
        if (dark(at(x, y))) {
            shown = at(x, y);
            break;
        }
    }
    return ValidationStatus::failed("PDF corner is dark RGB(" + std::to_string(shown[0]) + "," +
                                    std::to_string(shown[1]) + "," + std::to_string(shown[2]) +
                                    ") \u2014 page has dark background");
}

} // namespace kv::Validator
