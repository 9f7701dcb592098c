// PDF reading and rendering with poppler-glib onto cairo rasters.
#include "platform/poppler/pdf_document.h"

#include "platform/c_handle.h"
#include "platform/cairo_handles.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <bit>
#include <cairo-pdf.h>
#include <cairo.h>
#include <cstring>
#include <poppler.h>

namespace kv::platform {
namespace {

using Document = CHandle<PopplerDocument, &unrefObject>;
using Page = CHandle<PopplerPage, &unrefObject>;

// A cairo raster of the page, drawn scaled, on white or transparent.
CairoSurface drawPage(PopplerDocument* document, int index, int width, int height, double scale,
                      bool white) {
    if (index < 0 || index >= poppler_document_get_n_pages(document) || width < 1 || height < 1)
        return nullptr;
    Page page(poppler_document_get_page(document, index));
    if (!page)
        return nullptr;
    CairoSurface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    CairoContext cairo(cairo_create(surface.get()));
    if (white) {
        cairo_set_source_rgb(cairo.get(), 1, 1, 1);
        cairo_paint(cairo.get());
    }
    cairo_scale(cairo.get(), scale, scale);
    poppler_page_render(page.get(), cairo.get());
    if (cairo_status(cairo.get()) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    cairo.reset();
    cairo_surface_flush(surface.get());
    return surface;
}

} // namespace

struct PdfDocument::State {
    Document document;
};

PdfDocument::PdfDocument(std::unique_ptr<State> state) : m_state(std::move(state)) {}
PdfDocument::~PdfDocument() = default;
PdfDocument::PdfDocument(PdfDocument&&) noexcept = default;
PdfDocument& PdfDocument::operator=(PdfDocument&&) noexcept = default;

PdfDocument PdfDocument::open(const std::filesystem::path& file) {
    GError* error = nullptr;
    const std::string absolute = std::filesystem::absolute(file).string();
    CHandle<gchar, &g_free> uri(g_filename_to_uri(absolute.c_str(), nullptr, &error));
    if (!uri) {
        std::string text = error ? error->message : "bad file name";
        g_clear_error(&error);
        throw PlatformError(text);
    }
    Document document(poppler_document_new_from_file(uri.get(), nullptr, &error));
    if (!document) {
        const bool locked = error != nullptr && error->domain == POPPLER_ERROR &&
                            error->code == POPPLER_ERROR_ENCRYPTED;
        std::string text = locked  ? "The PDF is protected by a password"
                           : error ? error->message
                                   : "poppler could not open the document";
        g_clear_error(&error);
        throw PlatformError(text);
    }
    auto state = std::make_unique<State>();
    state->document = std::move(document);
    return PdfDocument(std::move(state));
}

int PdfDocument::pageCount() const {
    return poppler_document_get_n_pages(m_state->document.get());
}

std::optional<PageSize> PdfDocument::pageSize(int index) const {
    if (index < 0 || index >= pageCount())
        return std::nullopt;
    Page page(poppler_document_get_page(m_state->document.get(), index));
    if (!page)
        return std::nullopt;
    PageSize size;
    poppler_page_get_size(page.get(), &size.width, &size.height);
    return size;
}

std::optional<std::string> PdfDocument::pageText(int index) const {
    if (index < 0 || index >= pageCount())
        return std::nullopt;
    Page page(poppler_document_get_page(m_state->document.get(), index));
    if (!page)
        return std::nullopt;
    CHandle<char, &g_free> text(poppler_page_get_text(page.get()));
    return text ? std::string(text.get()) : std::string();
}

std::optional<PageBitmap> PdfDocument::render(int index, int width, int height, double scale,
                                              bool white) const {
    CairoSurface surface = drawPage(m_state->document.get(), index, width, height, scale, white);
    if (!surface)
        return std::nullopt;
    PageBitmap bitmap{width, height,
                      std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    const unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < height; ++y) {
        const auto* row =
            reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t pixel = row[x]; // native-endian premultiplied ARGB
            std::uint8_t* out = &bitmap.rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            out[0] = static_cast<std::uint8_t>(pixel >> 16);
            out[1] = static_cast<std::uint8_t>(pixel >> 8);
            out[2] = static_cast<std::uint8_t>(pixel);
            out[3] = static_cast<std::uint8_t>(pixel >> 24);
        }
    }
    return bitmap;
}

bool PdfDocument::renderOnWhite(
    int index, int width, int height, double scale,
    const std::function<void(const std::uint8_t* bgra, int stride)>& take) const {
    CairoSurface surface = drawPage(m_state->document.get(), index, width, height, scale, true);
    if (!surface)
        return false;
    // The raster is opaque: cairo's little-endian ARGB is B, G, R, A in memory, handed over as is.
    static_assert(std::endian::native == std::endian::little,
                  "cairo byte order assumed little-endian");
    try {
        take(cairo_image_surface_get_data(surface.get()),
             cairo_image_surface_get_stride(surface.get()));
        return true;
    } catch (const PlatformError&) {
        return false;
    }
}

} // namespace kv::platform
