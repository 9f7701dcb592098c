// Shared by the files of platform/image only: the library types behind Image and ImageSource.
#pragma once

#include "platform/image/image_codec.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <vector>
#include <vips/vips8>

namespace kv::platform {

struct Image::Impl {
    vips::VImage image;
    std::shared_ptr<const void> keepAlive; // the source bytes a lazily decoded image still reads
};

/// Wraps a vips image (cheap: vips images are reference counted).
Image wrapImage(vips::VImage image);

/// Throws PlatformError with the library's text (the vips error buffer is cleared).
[[noreturn]] void throwVipsFailure(const char* text);

/// Runs a vips call, turning VError into PlatformError.
template <typename F> auto callVips(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const vips::VError& error) {
        throwVipsFailure(error.what());
    }
}

/// Rows of pixels, `rowBytes` apart, starting at image row `top`.
struct RowBlock {
    std::vector<std::uint8_t> pixels;
    std::size_t rowBytes = 0;
    int top = 0;
    int count = 0;
};

/// Hands the image's pixels over top to bottom in blocks of `rows` rows (the last may be shorter),
/// all pulled through one vips pipeline on one thread, so streamed sources and resampling read
/// their input once, in order. `take` may keep a block's pixels by moving them out. An exception
/// from `take` ends the run and is rethrown; a vips failure throws PlatformError.
void forEachRowBlock(const vips::VImage& image, int rows,
                     const std::function<void(RowBlock&)>& take);

/// libheif encode of an 8-bit sRGB image (3 or 4 bands) with its EXIF/ICC/XMP. A stop request
/// fails it between strips or tiles.
struct HeifEncoding {
    bool av1 = false;      // AVIF, else HEIC
    double quality = 0.85; // 0…1
    bool fastest = false;  // HEIC: x265's fastest preset
};
void encodeHeif(const vips::VImage& image, const std::filesystem::path& file,
                const HeifEncoding& encoding, std::stop_token stop = {});

/// A one-frame GIF of an 8-bit image (any band count; grey becomes sRGB), holding its pixels once
/// plus a byte per pixel for the palette indices. A stop request fails it between steps.
void encodeGif(const vips::VImage& image, const std::filesystem::path& file,
               std::stop_token stop = {});

/// LibRaw development to 8-bit sRGB with the camera's orientation applied.
vips::VImage developRaw(const std::filesystem::path& file);

} // namespace kv::platform
