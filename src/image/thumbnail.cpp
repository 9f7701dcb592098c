// Small pictures of image files for the queue's rows.
#include "image/image_codec.h"
#include "media_module/thumbnails.h"

namespace kv::Thumbnails {

Picture image(const std::filesystem::path& file, int maxPixelSize) {
    const auto source = image::ImageSource::open(file);
    const image::Image small = source.thumbnail(source.primaryFrame(), maxPixelSize).inSrgb();
    return {.width = small.width(), .height = small.height(), .rgba = small.rgba8()};
}

} // namespace kv::Thumbnails
