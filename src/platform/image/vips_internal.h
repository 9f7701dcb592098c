// Shared by the files of platform/image only: the library types behind Image and ImageSource.
#pragma once

#include "platform/image/image_codec.h"

#include <vips/vips8>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace kv::platform {

struct Image::Impl {
    vips::VImage image;
    std::shared_ptr<const void> keepAlive;  // the source bytes a lazily decoded image still reads
};

/// Wraps a vips image (cheap: vips images are reference counted).
Image wrapImage(vips::VImage image);

/// Throws PlatformError with the library's text (the vips error buffer is cleared).
[[noreturn]] void throwVipsFailure(const char* text);

/// Runs a vips call, turning VError into PlatformError.
template <typename F>
auto callVips(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const vips::VError& error) {
        throwVipsFailure(error.what());
    }
}

/// libheif encode of an 8-bit sRGB image (3 or 4 bands) with its EXIF/ICC/XMP. A stop request
/// fails it between strips or tiles.
void encodeHeif(const vips::VImage& image, const std::filesystem::path& file, bool av1, double quality,
                std::stop_token stop = {});

/// LibRaw development to 8-bit sRGB with the camera's orientation applied.
vips::VImage developRaw(const std::filesystem::path& file);

}  // namespace kv::platform
