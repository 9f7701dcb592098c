#include "image/page_picture.h"

#include "image/image_codec.h"

#include <algorithm>

namespace kv::image {

namespace {

PagePicture decoded(const ImageSource& source, int longestSide) {
    const auto properties = source.properties(source.primaryFrame());
    const bool large = std::max(properties.width, properties.height) > longestSide;
    const Image picture = large ? source.thumbnail(source.primaryFrame(), longestSide)
                                : source.decode(source.primaryFrame(), false).oriented();
    return {picture.width(), picture.height(), picture.rgba8()};
}

} // namespace

PagePicture decodePagePicture(const std::filesystem::path& file, int longestSide) {
    return decoded(ImageSource::open(file), longestSide);
}

PagePicture decodePagePicture(std::span<const std::uint8_t> bytes, int longestSide) {
    return decoded(ImageSource::openBytes(bytes), longestSide);
}

} // namespace kv::image
