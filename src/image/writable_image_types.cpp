// Run-time probe of the image encoders this machine has (the audio one is av/audio_writers.cpp).
#include "image/writable_image_types.h"

#include "image/image_codec.h"
#include "platform/image/vips_start.h"

#include <set>
#include <string>

namespace kv::image {

std::set<std::string> probeWritableImageTypes() {
    std::set<std::string> types{"ico", "icns", "psd"}; // written by our own code
    try {
        platform::ensureVipsStarted();
    } catch (...) {
        return types;
    }
    // Each type is tried with a real encode of a tiny image: a saver's presence over-reports (vips
    // lists .heic/.avif savers without an HEVC or AV1 encoder, and magicksave without every
    // format).
    const std::pair<const char*, ImageType> candidates[] = {
        {"png", ImageType::png},   {"jpeg", ImageType::jpeg}, {"tiff", ImageType::tiff},
        {"bmp", ImageType::bmp},   {"gif", ImageType::gif},   {"heic", ImageType::heic},
        {"avif", ImageType::avif}, {"tga", ImageType::tga},   {"jp2", ImageType::jp2},
    };
    for (const auto& [name, type] : candidates)
        if (canEncode(type))
            types.insert(name);
    return types;
}

} // namespace kv::image
