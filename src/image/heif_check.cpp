// A full decode of a HEIF/AVIF file's primary image in the layout libheif decodes it to.
#include "image/heif_check.h"

#include "platform/image/heif_owners.h"
#include "platform/platform_error.h"

#include <libheif/heif.h>
#include <string>

namespace kv::image {
namespace {

void check(const heif_error& error) {
    if (error.code != heif_error_Ok)
        throw PlatformError(std::string("libheif: ") + (error.message ? error.message : "failed"));
}

} // namespace

void verifyHeifFile(const std::filesystem::path& file) {
    platform::heif::Context context(heif_context_alloc());
    check(heif_context_read_from_file(context.get(), file.c_str(), nullptr));
    heif_image_handle* rawHandle = nullptr;
    check(heif_context_get_primary_image_handle(context.get(), &rawHandle));
    platform::heif::Handle handle(rawHandle);
    platform::heif::DecodingOptions options(heif_decoding_options_alloc());
    options->ignore_transformations = 1; // turning and cropping cannot fail; the bitstream can
    options->strict_decoding = 1;
    heif_image* rawImage = nullptr;
    check(heif_decode_image(handle.get(), &rawImage, heif_colorspace_undefined,
                            heif_chroma_undefined, options.get()));
    platform::heif::Picture image(rawImage);
    if (heif_image_get_primary_width(image.get()) < 1 ||
        heif_image_get_primary_height(image.get()) < 1)
        throw PlatformError("libheif: decoded image is empty");
}

} // namespace kv::image
