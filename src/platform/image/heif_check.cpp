// A full decode of a HEIF/AVIF file's primary image in the layout libheif decodes it to.
#include "platform/image/heif_check.h"

#include "platform/platform_error.h"

#include <libheif/heif.h>

#include <memory>
#include <string>

namespace kv::platform {
namespace {

struct ContextFree {
    void operator()(heif_context* context) const noexcept { heif_context_free(context); }
};
struct HandleFree {
    void operator()(heif_image_handle* handle) const noexcept { heif_image_handle_release(handle); }
};
struct ImageFree {
    void operator()(heif_image* image) const noexcept { heif_image_release(image); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* options) const noexcept { heif_decoding_options_free(options); }
};

void check(const heif_error& error) {
    if (error.code != heif_error_Ok) throw PlatformError(std::string("libheif: ") + (error.message ? error.message : "failed"));
}

}  // namespace

void verifyHeifFile(const std::filesystem::path& file) {
    std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    check(heif_context_read_from_file(context.get(), file.c_str(), nullptr));
    heif_image_handle* rawHandle = nullptr;
    check(heif_context_get_primary_image_handle(context.get(), &rawHandle));
    std::unique_ptr<heif_image_handle, HandleFree> handle(rawHandle);
    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    options->ignore_transformations = 1;  // turning and cropping cannot fail; the bitstream can
    options->strict_decoding = 1;
    heif_image* rawImage = nullptr;
    check(heif_decode_image(handle.get(), &rawImage, heif_colorspace_undefined, heif_chroma_undefined, options.get()));
    std::unique_ptr<heif_image, ImageFree> image(rawImage);
    if (heif_image_get_primary_width(image.get()) < 1 || heif_image_get_primary_height(image.get()) < 1)
        throw PlatformError("libheif: decoded image is empty");
}

}  // namespace kv::platform
