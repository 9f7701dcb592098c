// Camera RAW development with LibRaw: demosaiced, white-balanced, 8-bit sRGB, camera rotation
// applied.
#include "platform/c_handle.h"
#include "platform/image/vips_support.h"
#include "platform/platform_error.h"

#include <libraw/libraw.h>
#include <memory>
#include <string>

namespace kv::platform {
namespace {

using RawProcessor = CHandle<libraw_data_t, &libraw_close>;
using DevelopedImage = CHandle<libraw_processed_image_t, &libraw_dcraw_clear_mem>;

void check(int code, const char* step) {
    if (code != LIBRAW_SUCCESS)
        throw PlatformError(std::string("LibRaw ") + step + ": " + libraw_strerror(code));
}

} // namespace

vips::VImage developRaw(const std::filesystem::path& file) {
    RawProcessor raw(libraw_init(0));
    if (!raw)
        throw PlatformError("LibRaw could not start");
    // Camera white balance, sRGB primaries, 8 bits; LibRaw turns the image by the camera's flip.
    raw->params.use_camera_wb = 1;
    raw->params.output_color = 1;
    raw->params.output_bps = 8;
    check(libraw_open_file(raw.get(), file.c_str()), "open");
    check(libraw_unpack(raw.get()), "unpack");
    check(libraw_dcraw_process(raw.get()), "process");
    int error = 0;
    DevelopedImage developed(libraw_dcraw_make_mem_image(raw.get(), &error));
    check(error, "render");
    if (!developed || developed->type != LIBRAW_IMAGE_BITMAP || developed->bits != 8 ||
        (developed->colors != 3 && developed->colors != 1))
        throw PlatformError("LibRaw render: unexpected bitmap layout");
    libraw_recycle(raw.get()); // release the sensor buffers before the copy below
    const std::size_t bytes = std::size_t{developed->width} * developed->height * developed->colors;
    if (bytes > developed->data_size)
        throw PlatformError("LibRaw render: short bitmap");
    return callVips([&] {
        // A copy: vips only references memory it is handed, and LibRaw's buffer goes with this
        // scope.
        VipsImage* copied = vips_image_new_from_memory_copy(developed->data, bytes,
                                                            developed->width, developed->height,
                                                            developed->colors, VIPS_FORMAT_UCHAR);
        if (copied == nullptr)
            throwVipsFailure(vips_error_buffer());
        vips::VImage image(copied);
        return image.copy(vips::VImage::option()->set(
            "interpretation",
            developed->colors == 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W));
    });
}

} // namespace kv::platform
