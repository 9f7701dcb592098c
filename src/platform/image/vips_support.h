// libvips helpers: its errors as PlatformError, its sink as blocks of rows, metadata reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <vips/vips8>

namespace kv::platform {

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

/// A metadata blob's bytes, or null (and `length` 0) when the image has no such field.
const char* blobField(const vips::VImage& image, const char* field, std::size_t& length);

/// The EXIF orientation 1…8 (1 when absent or out of range).
int orientationOf(const vips::VImage& image);

/// Scale of the largest component value for the image's band format.
double maxValue(const vips::VImage& image);

/// The image as 8-bit sRGB or 8-bit gray (CMYK through its profile, else a default one).
vips::VImage toEightBit(const vips::VImage& image);

/// LibRaw development to 8-bit sRGB with the camera's orientation applied.
vips::VImage developRaw(const std::filesystem::path& file);

} // namespace kv::platform
