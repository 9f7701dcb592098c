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
    // The four pixels one in from the corners. For a document page each stands for a 4 × 4 block
    // (16 points square) reaching inwards from it: a background fills all of the block, while a
    // glyph or a thin rule that touches the corner leaves some of it light. The block's lightest
    // pixel is the corner's colour; a transparent one means the page has no fill there.
    const int block = std::min({4, w - 1, h - 1});
    const std::array<std::array<int, 2>, 4> corners{
        {{1, 1}, {w - 2, 1}, {1, h - 2}, {w - 2, h - 2}}};
    for (std::size_t corner = 0; corner < corners.size(); ++corner) {
        const auto [sx, sy] = corners[corner];
        if (requirement == PDFBackgroundRequirement::opaque) {
            if (at(sx, sy)[3] == 0)
                return ValidationStatus::failed(
                    "Image-PDF corner is transparent \u2014 broken file");
            continue;
        }
        const int left = corner % 2 == 0 ? sx : sx - block + 1;
        const int top = corner < 2 ? sy : sy - block + 1;
        const std::uint8_t* lightest = at(sx, sy);
        bool transparent = false;
        for (int y = top; y < top + block; ++y) {
            for (int x = left; x < left + block; ++x) {
                const std::uint8_t* pixel = at(x, y);
                transparent = transparent || pixel[3] == 0;
                if (std::min({pixel[0], pixel[1], pixel[2]}) >
                    std::min({lightest[0], lightest[1], lightest[2]}))
                    lightest = pixel;
            }
        }
        if (transparent)
            return ValidationStatus::failed(
                "PDF corner is transparent \u2014 page lacks background fill (inversion bug)");
        if (lightest[0] < 200 || lightest[1] < 200 || lightest[2] < 200)
            return ValidationStatus::failed(
                "PDF corner is dark RGB(" + std::to_string(lightest[0]) + "," +
                std::to_string(lightest[1]) + "," + std::to_string(lightest[2]) +
                ") \u2014 page has dark background");
    }
    return ValidationStatus::passed();
}

} // namespace kv::Validator
