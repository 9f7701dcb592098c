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

    // Page 0 at a quarter of its size on a transparent raster; the four pixels one in from the
    // corners.
    constexpr double kScale = 0.25;
    const int w = std::max(2, static_cast<int>(size->width * kScale));
    const int h = std::max(2, static_cast<int>(size->height * kScale));
    // A page under 8 points would cover only part of the 2-pixel minimum raster and its corners
    // would read as transparent: scale such a page up to fill the raster.
    const double scale = std::max({kScale, w / size->width, h / size->height});
    const auto bitmap = document->render(0, w, h, scale, false);
    if (!bitmap)
        return ValidationStatus::failed("PDFDocument cannot open file");
    const std::array<std::array<int, 2>, 4> corners{
        {{1, 1}, {w - 2, 1}, {1, h - 2}, {w - 2, h - 2}}};
    for (const auto& [x, y] : corners) {
        const std::uint8_t* pixel =
            &bitmap->rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                           static_cast<std::size_t>(x)) *
                          4];
        if (requirement == PDFBackgroundRequirement::opaque) {
            if (pixel[3] == 0)
                return ValidationStatus::failed(
                    "Image-PDF corner is transparent \u2014 broken file");
            continue;
        }
        if (pixel[3] == 0)
            return ValidationStatus::failed(
                "PDF corner is transparent \u2014 page lacks background fill (inversion bug)");
        if (pixel[0] < 200 || pixel[1] < 200 || pixel[2] < 200)
            return ValidationStatus::failed("PDF corner is dark RGB(" + std::to_string(pixel[0]) +
                                            "," + std::to_string(pixel[1]) + "," +
                                            std::to_string(pixel[2]) +
                                            ") \u2014 page has dark background");
    }
    return ValidationStatus::passed();
}

} // namespace kv::Validator
