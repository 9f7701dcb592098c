// ICNS reader and the image truncation test on arbitrary bytes: errors are fine, crashes are not.
#include "image/icns_reader.h"
#include "image/image_truncation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    try {
        const auto rendition = kv::image::readLargestIcnsRendition(bytes);
        // An RGBA rendition holds exactly its declared pixels.
        if (rendition.encoding == kv::image::IcnsRendition::Encoding::rgba &&
            rendition.data.size() !=
                static_cast<std::size_t>(rendition.width) * rendition.height * 4)
            std::abort();
    } catch (const kv::image::IcnsError&) {
    }
    const auto head = bytes.first(std::min<std::size_t>(size, 8));
    const auto tail = bytes.last(std::min<std::size_t>(size, 12));
    (void)kv::ImageConverter::truncationIssueOf("fuzz.bin", head, tail);
    return 0;
}
