// Which formats this machine can actually write, probed once at first use.
#include "formats/format_capabilities.h"

#include "av/audio_writers.h"
#include "image/writable_image_types.h"
#include "platform/dynamic_library.h"

#include <mutex>
#include <set>
#include <string>

namespace kv::FormatCapabilities {
namespace {

const std::set<std::string>& writableImageTypes() {
    static const std::set<std::string> types = image::probeWritableImageTypes();
    return types;
}

const std::set<std::uint32_t>& encodableAudio() {
    static const std::set<std::uint32_t> codes = [] {
        std::set<std::uint32_t> found;
        for (const auto& candidate : av::probeAudioWriters())
            found.insert(candidate);
        return found;
    }();
    return codes;
}

bool imageWritable(const char* type) {
    return writableImageTypes().count(type) != 0;
}

} // namespace

bool canEncodeAudio(std::uint32_t code) {
    return encodableAudio().count(code) != 0;
}

bool canProduce(SupportedFormat format) {
    using F = SupportedFormat;
    if (static_cast<int>(format) > static_cast<int>(F::bz2))
        return true;
    switch (format) {
    case F::png: return imageWritable("png");
    case F::jpeg:
    case F::jpg: return imageWritable("jpeg");
    case F::tiff: return imageWritable("tiff");
    case F::bmp: return imageWritable("bmp");
    case F::gif: return imageWritable("gif");
    case F::heic:
    case F::heif: return imageWritable("heic");
    case F::ico: return imageWritable("ico");
    case F::avif: return imageWritable("avif");
    case F::psd: return imageWritable("psd");
    case F::tga: return imageWritable("tga");
    case F::jp2: return imageWritable("jp2");
    case F::icns: return imageWritable("icns");
    case F::flac: return canEncodeAudio(fourCC("flac"));
    case F::bz2: return platform::bzip2Api() != nullptr;
    default: return true;
    }
}

} // namespace kv::FormatCapabilities
