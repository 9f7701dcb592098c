// Small pictures of image files for the queue's rows.
#include "media_module/thumbnails.h"
#include "platform/image/image_codec.h"

namespace kv::Thumbnails {

Picture image(const std::filesystem::path& file, int maxPixelSize) {
    const auto source = platform::ImageSource::open(file);
    const platform::Image small = source.thumbnail(source.primaryFrame(), maxPixelSize).inSRGB();
    return {.width = small.width(), .height = small.height(), .rgba = small.rgba8()};
}

} // namespace kv::Thumbnails
