// Shared by the files of image/ only: the libvips image behind Image, and our encoders on it.
#pragma once

#include "image/image_codec.h"
#include "platform/image/vips_start.h"
#include "platform/image/vips_support.h"

#include <filesystem>
#include <memory>
#include <stop_token>
#include <vips/vips8>

namespace kv::image {

using platform::blobField;
using platform::callVips;
using platform::developRaw;
using platform::ensureVipsStarted;
using platform::forEachRowBlock;
using platform::maxValue;
using platform::orientationOf;
using platform::RowBlock;
using platform::throwVipsFailure;
using platform::toEightBit;

struct Image::Impl {
    vips::VImage image;
    std::shared_ptr<const void> keepAlive; // the source bytes a lazily decoded image still reads
};

/// Wraps a vips image (cheap: vips images are reference counted).
Image wrapImage(vips::VImage image);

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

} // namespace kv::image
