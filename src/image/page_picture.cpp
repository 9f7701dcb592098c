#include "image/page_picture.h"

#include "image/image_codec.h"

#include <algorithm>

namespace kv::image {

PagePicture decodePagePicture(const std::filesystem::path& file, int longestSide) {
    const auto source = ImageSource::open(file);
    const auto properties = source.properties(source.primaryFrame());
    const bool large = std::max(properties.width, properties.height) > longestSide;
    const Image decoded = large ? source.thumbnail(source.primaryFrame(), longestSide)
                                : source.decode(source.primaryFrame(), false).oriented();
    return {decoded.width(), decoded.height(), decoded.rgba8()};
}

} // namespace kv::image
