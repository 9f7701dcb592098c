// One-page image PDFs drawn with cairo: the pixels premultiplied into a surface, or a source JPEG's
// bytes embedded as they are.
#include "image/image_pdf.h"

#include "platform/c_handle.h"
#include "platform/platform_error.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <glib.h>

namespace kv::image {
namespace {

using Surface = CHandle<cairo_surface_t, &cairo_surface_destroy>;
using Context = CHandle<cairo_t, &cairo_destroy>;

} // namespace

void writeImagePdf(const Image& image, double scale, const std::filesystem::path& file,
                   std::span<const std::uint8_t> jpegFile) {
    const int width = image.width();
    const int height = image.height();
    const bool alpha = image.hasAlpha();

    Surface picture(cairo_image_surface_create(alpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24,
                                               width, height));
    if (cairo_surface_status(picture.get()) != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(cairo_surface_status(picture.get())));
    unsigned char* data = cairo_image_surface_get_data(picture.get());
    const int stride = cairo_image_surface_get_stride(picture.get());
    // Filled strip by strip: the surface is the only full-size copy of the pixels.
    constexpr int kStripRows = 256;
    image.rgba8Strips(kStripRows, [&](std::span<const std::uint8_t> rgba, int top, int count) {
        for (int y = 0; y < count; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(
                data + static_cast<std::ptrdiff_t>(top + y) * stride);
            const std::uint8_t* in =
                rgba.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4;
            for (int x = 0; x < width; ++x, in += 4) {
                const std::uint32_t a = alpha ? in[3] : 255;
                const auto premultiply = [a](std::uint32_t c) { return (c * a + 127) / 255; };
                row[x] = (a << 24) | (premultiply(in[0]) << 16) | (premultiply(in[1]) << 8) |
                         premultiply(in[2]);
            }
        }
    });
    cairo_surface_mark_dirty(picture.get());
    // The source JPEG's bytes go into the PDF as they are (DCTDecode): no second lossy encode.
    if (!jpegFile.empty() && !alpha) {
        auto* copy = static_cast<unsigned char*>(g_memdup2(jpegFile.data(), jpegFile.size()));
        cairo_surface_set_mime_data(picture.get(), CAIRO_MIME_TYPE_JPEG, copy, jpegFile.size(),
                                    &g_free, copy);
    }

    Surface pdf(cairo_pdf_surface_create(file.c_str(), width * scale, height * scale));
    Context cairo(cairo_create(pdf.get()));
    // White first: a transparent page would show whatever the viewer puts behind it.
    cairo_set_source_rgb(cairo.get(), 1, 1, 1);
    cairo_paint(cairo.get());
    cairo_scale(cairo.get(), scale, scale);
    cairo_set_source_surface(cairo.get(), picture.get(), 0, 0);
    cairo_paint(cairo.get());
    cairo_show_page(cairo.get());
    const cairo_status_t drawn = cairo_status(cairo.get());
    cairo.reset();
    cairo_surface_finish(pdf.get());
    const cairo_status_t finished = cairo_surface_status(pdf.get());
    if (drawn != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(drawn));
    if (finished != CAIRO_STATUS_SUCCESS)
        throw PlatformError(cairo_status_to_string(finished));
}

} // namespace kv::image
