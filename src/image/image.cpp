// Decoded images: pixel operations on libvips, with the EXIF block kept true to the pixels.
#include "image/exif_patch.h"
#include "image/image_codec.h"
#include "image/vips_image.h"
#include "platform/image/vips_start.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <string_view>

namespace kv::image {
namespace {

using vips::VImage;

// The image's EXIF block edited in place and stored back, so vips savers and libheif agree.
void editExif(VImage& image, const ExifEdits& edits) {
    std::size_t length = 0;
    const char* exif = blobField(image, VIPS_META_EXIF_NAME, length);
    if (exif == nullptr)
        return;
    auto patched = patchExif({reinterpret_cast<const std::uint8_t*>(exif), length}, edits);
    if (!patched)
        return;
    static constexpr std::uint8_t kPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    patched->insert(patched->begin(), std::begin(kPrefix), std::end(kPrefix));
    vips_image_set_blob_copy(image.get_image(), VIPS_META_EXIF_NAME, patched->data(),
                             patched->size());
}

void removeFields(VImage& image, bool (*matches)(std::string_view)) {
    gchar** fields = vips_image_get_fields(image.get_image());
    for (gchar** field = fields; *field != nullptr; ++field)
        if (matches(*field))
            image.remove(*field);
    g_strfreev(fields);
}

} // namespace

Image wrapImage(VImage image) {
    auto impl = std::make_shared<Image::Impl>();
    impl->image = std::move(image);
    return Image(std::move(impl));
}

Image::Image(std::shared_ptr<const Impl> impl) : m_impl(std::move(impl)) {}

int Image::width() const {
    return m_impl->image.width();
}
int Image::height() const {
    return m_impl->image.height();
}
bool Image::hasAlpha() const {
    return m_impl->image.has_alpha();
}
int Image::orientation() const {
    return orientationOf(m_impl->image);
}
bool Image::hasIccProfile() const {
    return m_impl->image.get_typeof(VIPS_META_ICC_NAME) != 0;
}

namespace {
Image derive(const Image& from, VImage image) {
    auto impl = std::make_shared<Image::Impl>();
    impl->image = std::move(image);
    impl->keepAlive = from.impl().keepAlive;
    return Image(std::move(impl));
}
} // namespace

Image Image::oriented() const {
    return callVips([&] {
        if (orientation() == 1)
            return *this;
        VImage turned = m_impl->image.autorot().copy();
        turned.set(VIPS_META_ORIENTATION, 1);
        // The embedded thumbnail shows the old geometry; the block's tag must say 1 for every
        // reader.
        editExif(turned, {.orientation = 1, .removeThumbnail = true});
        return derive(*this, turned);
    });
}

Image Image::resized(int newWidth, int newHeight) const {
    if (newWidth < 1 || newHeight < 1)
        throw PlatformError("resize to an empty image");
    return callVips([&] {
        VImage image = m_impl->image;
        const double hscale = static_cast<double>(newWidth) / image.width();
        const double vscale = static_cast<double>(newHeight) / image.height();
        const bool alpha = image.has_alpha();
        const VipsBandFormat format = image.format();
        // Premultiplied resampling keeps transparent pixels' colours from bleeding into edges.
        if (alpha)
            image = image.premultiply();
        image = image.resize(
            hscale, VImage::option()->set("vscale", vscale)->set("kernel", VIPS_KERNEL_LANCZOS3));
        if (alpha)
            image = image.unpremultiply().cast(format);
        // Rounding in the kernel can leave a pixel more or less; pin the exact size asked for.
        if (image.width() != newWidth || image.height() != newHeight) {
            image = image
                        .embed(0, 0, std::max(newWidth, image.width()),
                               std::max(newHeight, image.height()),
                               VImage::option()->set("extend", VIPS_EXTEND_COPY))
                        .extract_area(0, 0, newWidth, newHeight);
        }
        VImage result = image.copy();
        editExif(result, {.removeThumbnail = true});
        return derive(*this, result);
    });
}

Image Image::cropped(int left, int top, int cropWidth, int cropHeight) const {
    return callVips([&] {
        return derive(*this, m_impl->image.extract_area(left, top, cropWidth, cropHeight));
    });
}

Image Image::flattened(RgbColor background) const {
    return callVips([&] {
        if (!hasAlpha())
            return *this;
        const VImage& image = m_impl->image;
        const double scale = maxValue(image);
        std::vector<double> colour;
        if (image.bands() <= 2)
            colour = {(background.red + background.green + background.blue) / 3.0 * scale};
        else
            colour = {background.red * scale, background.green * scale, background.blue * scale};
        return derive(
            *this, image.flatten(VImage::option()->set("background", colour)).cast(image.format()));
    });
}

Image Image::inSrgb(bool keepGray) const {
    return callVips([&] {
        VImage image = m_impl->image;
        const bool gray = image.interpretation() == VIPS_INTERPRETATION_B_W ||
                          image.interpretation() == VIPS_INTERPRETATION_GREY16;
        if (image.get_typeof(VIPS_META_ICC_NAME) != 0 &&
            image.interpretation() != VIPS_INTERPRETATION_CMYK) {
            try {
                // Perceptual intent from the embedded profile to sRGB: wide-gamut (Display P3,
                // Adobe RGB) pixels keep their look once the profile is gone.
                image = image.icc_transform(
                    "srgb", VImage::option()->set("embedded", true)->set("depth", 8));
            } catch (const vips::VError&) {
                vips_error_clear(); // an unusable profile: treat the pixels as sRGB
            }
        }
        image = toEightBit(image);
        if (!(keepGray && gray) && image.bands() < 3)
            image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        image = image.copy();
        image.remove(VIPS_META_ICC_NAME);
        return derive(*this, image);
    });
}

Image Image::grayscale() const {
    return callVips([&] {
        return derive(*this, toEightBit(m_impl->image).colourspace(VIPS_INTERPRETATION_B_W));
    });
}

Image Image::withoutGpsAndXmp() const {
    return callVips([&] {
        VImage image = m_impl->image.copy();
        removeFields(image, [](std::string_view name) {
            return name.starts_with("exif-ifd3-");
        }); // the GPS directory
        image.remove(VIPS_META_XMP_NAME);
        editExif(image, {.removeGps = true});
        return derive(*this, image);
    });
}

void Image::verifyDecodes() const {
    callVips([&] { (void)m_impl->image.avg(); });
}

std::vector<std::uint8_t> Image::rgba8() const {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width()) *
                                     static_cast<std::size_t>(height()) * 4);
    const std::size_t rowBytes = static_cast<std::size_t>(width()) * 4;
    constexpr int kStripRows = 256;
    rgba8Strips(kStripRows, [&](std::span<const std::uint8_t> strip, int top, int) {
        std::copy(strip.begin(), strip.end(),
                  pixels.begin() +
                      static_cast<std::ptrdiff_t>(rowBytes * static_cast<std::size_t>(top)));
    });
    return pixels;
}

void Image::rgba8Strips(
    int rows, const std::function<void(std::span<const std::uint8_t>, int, int)>& take) const {
    callVips([&] {
        VImage image = inSrgb().impl().image;
        if (!image.has_alpha())
            image = image.bandjoin_const({255.0});
        if (image.bands() != 4 || image.format() != VIPS_FORMAT_UCHAR)
            throw PlatformError("no 8-bit RGBA form");
        forEachRowBlock(image, rows,
                        [&](RowBlock& block) { take(block.pixels, block.top, block.count); });
    });
}

Image Image::fromRgba8(std::span<const std::uint8_t> rgba, int imageWidth, int imageHeight) {
    if (imageWidth < 1 || imageHeight < 1 ||
        rgba.size() !=
            static_cast<std::size_t>(imageWidth) * static_cast<std::size_t>(imageHeight) * 4)
        throw PlatformError("RGBA buffer does not match its size");
    ensureVipsStarted();
    return callVips([&] {
        VipsImage* copied = vips_image_new_from_memory_copy(rgba.data(), rgba.size(), imageWidth,
                                                            imageHeight, 4, VIPS_FORMAT_UCHAR);
        if (copied == nullptr)
            throwVipsFailure(vips_error_buffer());
        VImage image(copied);
        return wrapImage(
            image.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)));
    });
}

} // namespace kv::image
