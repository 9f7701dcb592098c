// The image codec service on libvips; RAW files go to LibRaw, ICNS files to our own reader.
#include "platform/image/image_codec.h"

#include "image/exif_patch.h"
#include "image/heif_check.h"
#include "image/icns_reader.h"
#include "image/jpeg_check.h"
#include "image/png_check.h"
#include "image/png_encoder.h"
#include "image/tiff_check.h"
#include "image/tiff_encoder.h"
#include "platform/image/vips_internal.h"
#include "platform/image/vips_start.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>
#include <unistd.h>

namespace kv::platform {
namespace {

using vips::VImage;

// Camera RAW extensions: vips would open many of these as a TIFF of the undeveloped sensor mosaic.
constexpr std::array<std::string_view, 23> kRawExtensions{
    "cr2", "cr3", "crw", "nef", "nrw", "arw", "sr2", "srf", "dng", "orf", "raf", "rw2",
    "pef", "3fr", "fff", "rwl", "erf", "mrw", "dcr", "kdc", "mos", "iiq", "x3f"};

// Encoder settings, chosen deliberately:
// - PNG: zlib level 6 with the single "up" row filter, written by our own encoder
// (png_encoder.cpp),
//   which deflates bands of rows on every core. Unfiltered, vips writes photos 30–57% larger than
//   ImageMagick; adaptive filtering over all five filters matches ImageMagick's size but costs up
//   to 4× the time on some images. Measured on 6-megapixel photos (grainy and smooth): "up" lands
//   within −5…+4% of ImageMagick's size; "sub" +4%, "avg" +7% on smooth gradients, "paeth" the
//   slowest. Levels 4–6 give the same size on a grainy 24-megapixel photo, level 3 5% more. Images
//   our encoder does not take (other band formats) go to vips' saver with the same settings.
// - JPEG: optimised Huffman tables (5–8% smaller for ~10% more time) up to 40 megapixels; libjpeg
//   keeps every coefficient in memory for them (~650 MB at 100 megapixels), so larger images stream
//   with the standard tables. 4:2:0 below quality 90 and 4:4:4 from 90 up (vips' own choice, made
//   explicit so we know the MCU size). A restart marker starts every MCU row: ~2 bytes a row, and
//   the output check decodes bands of rows in parallel (jpeg_check.cpp).
// - TIFF: Adobe deflate with the horizontal predictor: lossless, read by every TIFF reader, a
//   fraction of an uncompressed file's size. 8-bit images go to our encoder (tiff_encoder.cpp),
//   which deflates ~1 MiB strips on every core with libdeflate at level 6 (smaller and faster
//   than zlib's 6); other images to vips' saver with the same compression.
// - GIF: libimagequant at vips' settings (255 colours, speed 4, Floyd–Steinberg dithering) and
//   giflib's LZW, in our own writer (gif_encoder.cpp), which needs half the memory of vips' saver.
// - JPEG 2000: lossy at the requested quality; vips' default chroma subsampling.
constexpr int kPngCompression = 6;
constexpr int kTiffDeflateLevel = 6;
constexpr double kMaxOptimisedJpegPixels = 40e6;
constexpr int kFullChromaQuality = 90; // JPEG chroma is kept whole from this quality up
constexpr VipsForeignPngFilter kPngFilter = VIPS_FOREIGN_PNG_FILTER_UP;

std::string lowerExtension(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty())
        ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return ext;
}

std::vector<std::uint8_t> readHead(const std::filesystem::path& file, std::size_t count) {
    std::vector<std::uint8_t> head(count);
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(count));
    head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return head;
}

std::vector<std::uint8_t> readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw PlatformError("cannot open " + file.filename().string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool startsWith(std::span<const std::uint8_t> bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() &&
           std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

// The container type from the loader vips chose, refined by the file's first bytes.
ImageType typeFromLoader(std::string_view loader, std::span<const std::uint8_t> head,
                         std::string_view ext) {
    if (loader.starts_with("jpegload"))
        return ImageType::jpeg;
    if (loader.starts_with("pngload"))
        return ImageType::png;
    if (loader.starts_with("tiffload"))
        return ImageType::tiff;
    if (loader.starts_with("gifload"))
        return ImageType::gif;
    if (loader.starts_with("webpload"))
        return ImageType::webp;
    if (loader.starts_with("jp2kload"))
        return ImageType::jp2;
    if (loader.starts_with("jxlload"))
        return ImageType::jxl;
    if (loader.starts_with("heifload")) {
        const std::string_view brand =
            head.size() >= 12 ? std::string_view(reinterpret_cast<const char*>(head.data()) + 8, 4)
                              : "";
        if (brand == "avif" || brand == "avis")
            return ImageType::avif;
        if (brand == "heic" || brand == "heix" || brand == "hevc" || brand == "heim" ||
            brand == "heis")
            return ImageType::heic;
        return ImageType::heif;
    }
    if (loader.starts_with("magickload")) {
        if (startsWith(head, "BM"))
            return ImageType::bmp;
        if (startsWith(head, "8BPS"))
            return ImageType::psd;
        if (startsWith(head, std::string_view("\0\0\1\0", 4)))
            return ImageType::ico;
        if (ext == "tga" || ext == "targa")
            return ImageType::tga;
    }
    return ImageType::unknown;
}

const char* blobField(const VImage& image, const char* field, std::size_t& length) {
    length = 0;
    if (image.get_typeof(field) == 0)
        return nullptr;
    return static_cast<const char*>(image.get_blob(field, &length));
}

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

int orientationOf(const VImage& image) {
    if (image.get_typeof(VIPS_META_ORIENTATION) == 0)
        return 1;
    const int value = image.get_int(VIPS_META_ORIENTATION);
    return value >= 1 && value <= 8 ? value : 1;
}

// Scale of the largest component value for the image's band format.
double maxValue(const VImage& image) {
    switch (image.format()) {
    case VIPS_FORMAT_USHORT: return 65535.0;
    case VIPS_FORMAT_FLOAT:
    case VIPS_FORMAT_DOUBLE: return 1.0;
    default: return 255.0;
    }
}

VImage toEightBit(const VImage& image) {
    const VipsInterpretation space = image.interpretation();
    if (image.format() == VIPS_FORMAT_UCHAR &&
        (space == VIPS_INTERPRETATION_sRGB || space == VIPS_INTERPRETATION_B_W ||
         space == VIPS_INTERPRETATION_RGB))
        return image;
    if (space == VIPS_INTERPRETATION_GREY16 || space == VIPS_INTERPRETATION_B_W)
        return image.colourspace(VIPS_INTERPRETATION_B_W).cast(VIPS_FORMAT_UCHAR);
    if (space == VIPS_INTERPRETATION_CMYK) {
        // CMYK has no 8-bit RGB form without a transform: use the embedded or a default profile.
        VImage converted =
            image.icc_transform("srgb", VImage::option()->set("embedded", true)->set("depth", 8));
        converted.remove(VIPS_META_ICC_NAME);
        return converted.cast(VIPS_FORMAT_UCHAR);
    }
    return image.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
}

// vips prefixes each error line with its domain: a loader's ("jpegload: …", "VipsForeignLoadPng:
// …") or the file reader's ("vips__file_read: read error") when the source's data failed.
PlatformError::Kind vipsFailureKind(std::string_view message) {
    const bool fromSource = message.find("load") != std::string_view::npos ||
                            message.starts_with("Vips") ||
                            message.find("read error") != std::string_view::npos;
    return fromSource ? PlatformError::Kind::sourceDecoding : PlatformError::Kind::other;
}

} // namespace

[[noreturn]] void throwVipsFailure(const char* text) {
    std::string message = text != nullptr ? text : "libvips failed";
    vips_error_clear();
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    throw PlatformError(message, vipsFailureKind(message));
}

Image wrapImage(VImage image) {
    auto impl = std::make_shared<Image::Impl>();
    impl->image = std::move(image);
    return Image(std::move(impl));
}

// ----------------------------------------------------------------------------- Image

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
bool Image::hasICCProfile() const {
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

Image Image::flattened(RGBColor background) const {
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

Image Image::inSRGB(bool keepGray) const {
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

Image Image::withoutGPSAndXMP() const {
    return callVips([&] {
        VImage image = m_impl->image.copy();
        removeFields(image, [](std::string_view name) {
            return name.starts_with("exif-ifd3-");
        }); // the GPS directory
        image.remove(VIPS_META_XMP_NAME);
        editExif(image, {.removeGPS = true});
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
        VImage image = inSRGB().impl().image;
        if (!image.has_alpha())
            image = image.bandjoin_const({255.0});
        if (image.bands() != 4 || image.format() != VIPS_FORMAT_UCHAR)
            throw PlatformError("no 8-bit RGBA form");
        forEachRowBlock(image, rows,
                        [&](RowBlock& block) { take(block.pixels, block.top, block.count); });
    });
}

Image Image::fromRGBA8(std::span<const std::uint8_t> rgba, int imageWidth, int imageHeight) {
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

// ----------------------------------------------------------------------------- ImageSource

struct ImageSource::State {
    std::filesystem::path file;                             // empty for byte sources
    std::shared_ptr<const std::vector<std::uint8_t>> bytes; // byte sources
    std::string loader;               // vips loader nickname, or "" when predecoded
    std::optional<VImage> predecoded; // RAW and ICNS: developed/decoded at open
    std::vector<int> icoWidths;       // ICO: each entry's width, directory order
};

namespace {

std::vector<int> icoEntryWidths(std::span<const std::uint8_t> head) {
    std::vector<int> widths;
    if (head.size() < 6)
        return widths;
    const std::size_t count = head[4] | (head[5] << 8);
    for (std::size_t i = 0; i < count && 6 + i * 16 + 16 <= head.size(); ++i) {
        const int width = head[6 + i * 16];
        widths.push_back(width == 0 ? 256 : width); // 0 stands for 256
    }
    return widths;
}

VipsBlob* newBlob(const std::vector<std::uint8_t>& bytes) {
    return vips_blob_new(nullptr, bytes.data(), bytes.size()); // not copied: State keeps the bytes
}

VImage loadFrame(const ImageSource::State& state, int index, bool sequential) {
    if (state.predecoded)
        return *state.predecoded;
    vips::VOption* options =
        VImage::option()
            ->set("access", sequential ? VIPS_ACCESS_SEQUENTIAL : VIPS_ACCESS_RANDOM)
            ->set("fail_on", VIPS_FAIL_ON_ERROR);
    if (index > 0)
        options->set("page", index);
    if (state.loader == "magickload") {
        if (!state.file.empty())
            return VImage::magickload(state.file.c_str(), options);
        VipsBlob* blob = newBlob(*state.bytes);
        VImage image = VImage::magickload_buffer(blob, options);
        vips_area_unref(VIPS_AREA(blob));
        return image;
    }
    if (!state.file.empty())
        return VImage::new_from_file(state.file.c_str(), options);
    return VImage::new_from_buffer(state.bytes->data(), state.bytes->size(), "", options);
}

// vips names the loader by its class ("VipsForeignLoadJpegFile"); we use the nickname ("jpegload").
// No loader found, or one of ImageMagick's, becomes "magickload".
std::string loaderNickname(const char* className) {
    vips_error_clear();
    std::string nickname = "magickload";
    if (className != nullptr) {
        const char* found = vips_nickname_find(g_type_from_name(className));
        if (found != nullptr)
            nickname = found;
    }
    if (nickname.starts_with("magickload"))
        nickname = "magickload";
    return nickname;
}

VImage decodeIcnsBytes(std::span<const std::uint8_t> bytes) {
    IcnsRendition rendition;
    try {
        rendition = readLargestIcnsRendition(bytes);
    } catch (const IcnsError& damaged) {
        throw PlatformError(damaged.what());
    }
    return callVips([&] {
        if (rendition.encoding == IcnsRendition::Encoding::rgba) {
            return Image::fromRGBA8(rendition.data, rendition.width, rendition.height).impl().image;
        }
        VImage image =
            VImage::new_from_buffer(rendition.data.data(), rendition.data.size(), "",
                                    VImage::option()->set("fail_on", VIPS_FAIL_ON_ERROR));
        return image.copy_memory(); // the rendition's bytes go away with this scope
    });
}

} // namespace

ImageSource ImageSource::open(const std::filesystem::path& file) {
    ensureVipsStarted();
    auto state = std::make_shared<State>();
    state->file = file;
    const std::string ext = lowerExtension(file);
    if (std::find(kRawExtensions.begin(), kRawExtensions.end(), ext) != kRawExtensions.end()) {
        state->predecoded = developRaw(file);
        return ImageSource(std::move(state), ImageType::raw);
    }
    const auto head = readHead(file, 4096);
    if (looksLikeIcns(head)) {
        state->predecoded = decodeIcnsBytes(readAll(file));
        return ImageSource(std::move(state), ImageType::icns);
    }
    // ImageMagick knows TGA, which has no signature, by its extension.
    state->loader = loaderNickname(vips_foreign_find_load(file.c_str()));
    const ImageType type = typeFromLoader(state->loader, head, ext);
    if (type == ImageType::ico)
        state->icoWidths = icoEntryWidths(head);
    ImageSource source(state, type);
    callVips(
        [&] { (void)loadFrame(*state, 0, true).width(); }); // reads the header; no image throws
    return source;
}

ImageSource ImageSource::openBytes(std::span<const std::uint8_t> input) {
    ensureVipsStarted();
    auto state = std::make_shared<State>();
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(input.begin(), input.end());
    state->bytes = bytes;
    if (looksLikeIcns(*bytes)) {
        state->predecoded = decodeIcnsBytes(*bytes);
        return ImageSource(std::move(state), ImageType::icns);
    }
    state->loader = loaderNickname(vips_foreign_find_load_buffer(bytes->data(), bytes->size()));
    const ImageType type = typeFromLoader(
        state->loader, std::span(*bytes).first(std::min<std::size_t>(bytes->size(), 64)), "");
    if (type == ImageType::ico)
        state->icoWidths = icoEntryWidths(*bytes);
    callVips([&] { (void)loadFrame(*state, 0, true).width(); });
    return ImageSource(std::move(state), type);
}

int ImageSource::frameCount() const {
    if (m_state->predecoded)
        return 1;
    if (!m_state->icoWidths.empty())
        return static_cast<int>(m_state->icoWidths.size());
    return callVips([&] {
        const VImage image = loadFrame(*m_state, 0, true);
        return image.get_typeof(VIPS_META_N_PAGES) != 0
                   ? std::max(1, image.get_int(VIPS_META_N_PAGES))
                   : 1;
    });
}

int ImageSource::primaryFrame() const {
    const auto& widths = m_state->icoWidths;
    if (widths.empty())
        return 0;
    return static_cast<int>(std::max_element(widths.begin(), widths.end()) - widths.begin());
}

ImageProperties ImageSource::properties(int index) const {
    return callVips([&] {
        const VImage image = loadFrame(*m_state, index, true);
        ImageProperties properties;
        properties.width = image.width();
        properties.height = image.height();
        if (image.get_typeof(VIPS_META_PAGE_HEIGHT) != 0 && m_state->icoWidths.empty())
            properties.height = std::min(properties.height, image.get_int(VIPS_META_PAGE_HEIGHT));
        properties.orientation = orientationOf(image);
        if (image.get_typeof(VIPS_META_RESOLUTION_UNIT) != 0 || m_type == ImageType::jpeg ||
            m_type == ImageType::png || m_type == ImageType::tiff) {
            properties.dpiWidth = image.xres() * 25.4; // vips keeps pixels per millimetre
            properties.dpiHeight = image.yres() * 25.4;
        }
        if (image.get_typeof("delay") != 0)
            properties.frameDelaysMs = image.get_array_int("delay");
        if (image.get_typeof("loop") != 0)
            properties.loopCount = image.get_int("loop");
        properties.hasAlpha = image.has_alpha();
        properties.hasICCProfile = image.get_typeof(VIPS_META_ICC_NAME) != 0;
        properties.hasEXIF = image.get_typeof(VIPS_META_EXIF_NAME) != 0;
        properties.hasXMP = image.get_typeof(VIPS_META_XMP_NAME) != 0;
        gchar** fields = vips_image_get_fields(image.get_image());
        for (gchar** field = fields; *field != nullptr; ++field)
            if (std::string_view(*field).starts_with("exif-ifd3-"))
                properties.hasGPS = true;
        g_strfreev(fields);
        return properties;
    });
}

Image ImageSource::decode(int index, bool sequential) const {
    return callVips([&] {
        VImage image = loadFrame(*m_state, index, sequential);
        // An animated GIF or WebP decodes as the strip of all frames; keep the requested one.
        if (m_state->icoWidths.empty() && image.get_typeof(VIPS_META_PAGE_HEIGHT) != 0) {
            const int pageHeight = image.get_int(VIPS_META_PAGE_HEIGHT);
            if (pageHeight > 0 && pageHeight < image.height())
                image = image.extract_area(0, 0, image.width(), pageHeight);
        }
        auto impl = std::make_shared<Image::Impl>();
        impl->image = image;
        impl->keepAlive = m_state;
        return Image(std::move(impl));
    });
}

void ImageSource::verifyDecodes(int index) const {
    // The file checks below look at the first (PNG, TIFF) or primary (HEIF) image only.
    const bool plainFile = !m_state->file.empty() && !m_state->predecoded && index == 0;
    if (plainFile && m_type == ImageType::png && m_state->loader.starts_with("pngload")) {
        verifyPngFile(m_state->file);
        return;
    }
    if (plainFile &&
        (m_type == ImageType::heic || m_type == ImageType::heif || m_type == ImageType::avif)) {
        verifyHeifFile(m_state->file);
        return;
    }
    if (plainFile && m_type == ImageType::tiff && verifyTiffStrips(m_state->file))
        return;
    if (plainFile && m_type == ImageType::jpeg) {
        verifyJpegFile(m_state->file);
        return;
    }
    decode(index).verifyDecodes();
}

Image ImageSource::thumbnail(int index, int maxPixelSize) const {
    return callVips([&] {
        VImage image = decode(index, false).impl().image;
        return wrapImage(image.thumbnail_image(maxPixelSize, VImage::option()
                                                                 ->set("height", maxPixelSize)
                                                                 ->set("size", VIPS_SIZE_DOWN)
                                                                 ->set("no_rotate", false)));
    });
}

// ----------------------------------------------------------------------------- encoding

namespace {

int qualityPercent(double quality) {
    return std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
}

// Savers that cannot hold an alpha channel get it composited over white here, as a last guard.
VImage opaque(const VImage& image) {
    if (!image.has_alpha())
        return image;
    const double scale = maxValue(image);
    std::vector<double> white(image.bands() <= 2 ? 1 : 3, scale);
    return image.flatten(VImage::option()->set("background", white)).cast(image.format());
}

// The metadata vips' PNG saver would write: profile, EXIF, XMP, resolution and text comments.
PngMetadata pngMetadataOf(const VImage& image) {
    PngMetadata metadata;
    std::size_t length = 0;
    if (const char* icc = blobField(image, VIPS_META_ICC_NAME, length))
        metadata.icc.assign(icc, icc + length);
    if (const char* exif = blobField(image, VIPS_META_EXIF_NAME, length)) {
        std::string_view block(exif, length);
        if (block.starts_with(std::string_view("Exif\0\0", 6)))
            block.remove_prefix(6);
        metadata.exif.assign(block.begin(), block.end());
    }
    if (const char* xmp = blobField(image, VIPS_META_XMP_NAME, length)) {
        while (length > 0 && xmp[length - 1] == '\0')
            --length;
        metadata.xmp.assign(xmp, length);
    }
    // vips keeps pixels per millimetre.
    const double xres = std::round(image.xres() * 1000.0);
    const double yres = std::round(image.yres() * 1000.0);
    if (xres >= 1 && yres >= 1 && xres < 4e9 && yres < 4e9) {
        metadata.pixelsPerMetreX = static_cast<std::uint32_t>(xres);
        metadata.pixelsPerMetreY = static_cast<std::uint32_t>(yres);
    }
    gchar** fields = vips_image_get_fields(image.get_image());
    for (gchar** field = fields; *field != nullptr; ++field) {
        // "png-comment-<n>-<keyword>"
        const std::string_view name(*field);
        if (!name.starts_with("png-comment-"))
            continue;
        const auto dash = name.find('-', 12);
        if (dash == std::string_view::npos)
            continue;
        const char* text = nullptr;
        if (vips_image_get_string(image.get_image(), *field, &text) == 0 && text != nullptr)
            metadata.texts.emplace_back(std::string(name.substr(dash + 1)), text);
    }
    g_strfreev(fields);
    vips_error_clear();
    return metadata;
}

template <typename Encoder> struct SinkTarget {
    Encoder& encoder;
    std::stop_token stop;
};

// vips_sink_disc hands over whole-width areas top to bottom, on one thread; a stop request ends
// the run at the next area.
template <typename Encoder> int writeRows(VipsRegion* region, VipsRect* area, void* target) {
    auto& [encoder, stop] = *static_cast<SinkTarget<Encoder>*>(target);
    if (stop.stop_requested()) {
        vips_error("kelvane", "%s", "stopped");
        return -1;
    }
    try {
        encoder.addRows(
            reinterpret_cast<const std::uint8_t*>(VIPS_REGION_ADDR(region, area->left, area->top)),
            VIPS_REGION_LSKIP(region), area->height);
        return 0;
    } catch (const std::exception& failure) {
        vips_error("kelvane", "%s", failure.what());
        return -1;
    }
}

struct RowBlocker {
    const std::function<void(RowBlock&)>& take;
    int rows = 1;
    RowBlock block;
    std::exception_ptr failure;

    void hand() {
        block.count = static_cast<int>(block.pixels.size() / block.rowBytes);
        take(block);
        block.top += block.count;
        block.pixels.clear(); // also valid after a move
        block.pixels.reserve(block.rowBytes * static_cast<std::size_t>(rows));
    }
};

int collectRows(VipsRegion* region, VipsRect* area, void* target) {
    auto& blocker = *static_cast<RowBlocker*>(target);
    try {
        for (int y = 0; y < area->height; ++y) {
            const auto* row = reinterpret_cast<const std::uint8_t*>(
                VIPS_REGION_ADDR(region, area->left, area->top + y));
            blocker.block.pixels.insert(blocker.block.pixels.end(), row,
                                        row + blocker.block.rowBytes);
            if (blocker.block.pixels.size() ==
                blocker.block.rowBytes * static_cast<std::size_t>(blocker.rows))
                blocker.hand();
        }
        return 0;
    } catch (...) {
        blocker.failure = std::current_exception();
        vips_error("kelvane", "%s", "stopped");
        return -1;
    }
}

// Our parallel PNG encoder for 8/16-bit images of 1–4 bands; false for anything else (vips saves
// it).
bool savePng(const VImage& image, const std::filesystem::path& file, std::stop_token stop) {
    const VipsBandFormat format = image.format();
    if ((format != VIPS_FORMAT_UCHAR && format != VIPS_FORMAT_USHORT) || image.bands() < 1 ||
        image.bands() > 4 || image.coding() != VIPS_CODING_NONE)
        return false;
    PngEncoder encoder(file, image.width(), image.height(), image.bands(),
                       format == VIPS_FORMAT_UCHAR ? 8 : 16, pngMetadataOf(image),
                       {.level = kPngCompression});
    SinkTarget<PngEncoder> target{encoder, std::move(stop)};
    if (vips_sink_disc(image.get_image(), writeRows<PngEncoder>, &target) != 0)
        throwVipsFailure(vips_error_buffer());
    encoder.finish();
    return true;
}

// The metadata vips' TIFF saver writes (profile, XMP, IPTC, Photoshop resources, description,
// orientation, resolution) and the EXIF block, which vips leaves out.
TiffMetadata tiffMetadataOf(const VImage& image) {
    TiffMetadata metadata;
    std::size_t length = 0;
    if (const char* icc = blobField(image, VIPS_META_ICC_NAME, length))
        metadata.icc.assign(icc, icc + length);
    if (const char* exif = blobField(image, VIPS_META_EXIF_NAME, length))
        metadata.exif.assign(exif, exif + length);
    if (const char* xmp = blobField(image, VIPS_META_XMP_NAME, length)) {
        while (length > 0 && xmp[length - 1] == '\0')
            --length;
        metadata.xmp.assign(xmp, length);
    }
    if (const char* iptc = blobField(image, VIPS_META_IPTC_NAME, length)) {
        metadata.iptc.assign(iptc, iptc + length);
        metadata.iptc.resize((length + 3) / 4 * 4, 0); // the field counts 32-bit words
    }
    if (const char* photoshop = blobField(image, VIPS_META_PHOTOSHOP_NAME, length))
        metadata.photoshop.assign(photoshop, photoshop + length);
    const char* description = nullptr;
    if (image.get_typeof(VIPS_META_IMAGEDESCRIPTION) != 0 &&
        vips_image_get_string(image.get_image(), VIPS_META_IMAGEDESCRIPTION, &description) == 0 &&
        description != nullptr)
        metadata.description = description;
    vips_error_clear();
    metadata.orientation = orientationOf(image);
    // vips keeps pixels per millimetre and writes centimetres.
    metadata.pixelsPerCmX = image.xres() * 10.0;
    metadata.pixelsPerCmY = image.yres() * 10.0;
    return metadata;
}

// Our parallel deflate TIFF encoder for 8-bit images of 1–4 bands; false for anything else.
bool saveTiff(const VImage& image, const std::filesystem::path& file, std::stop_token stop) {
    if (image.format() != VIPS_FORMAT_UCHAR || image.bands() < 1 || image.bands() > 4 ||
        image.coding() != VIPS_CODING_NONE)
        return false;
    TiffEncoder encoder(file, image.width(), image.height(), image.bands(), tiffMetadataOf(image),
                        {.level = kTiffDeflateLevel});
    SinkTarget<TiffEncoder> target{encoder, std::move(stop)};
    if (vips_sink_disc(image.get_image(), writeRows<TiffEncoder>, &target) != 0)
        throwVipsFailure(vips_error_buffer());
    encoder.finish();
    return true;
}

void saveWithVips(const VImage& input, const std::filesystem::path& file,
                  const EncodeOptions& options) {
    const VImage image = toEightBit(input);
    const std::string path = file.string();
    switch (options.type) {
    case ImageType::png:
        if (!savePng(image, file, options.stop))
            image.pngsave(
                path.c_str(),
                VImage::option()->set("compression", kPngCompression)->set("filter", kPngFilter));
        return;
    case ImageType::jpeg: {
        // Chroma halved below quality 90 (as vips' own choice), and a restart marker at the start
        // of every MCU row, so the output check can decode bands of rows on all cores.
        const VImage opaqueImage = opaque(image);
        const int quality = qualityPercent(options.quality);
        const bool subsample = quality < kFullChromaQuality && opaqueImage.bands() == 3;
        const int mcuWidth = subsample ? 16 : 8;
        opaqueImage.jpegsave(
            path.c_str(),
            VImage::option()
                ->set("Q", quality)
                ->set("subsample_mode",
                      subsample ? VIPS_FOREIGN_SUBSAMPLE_ON : VIPS_FOREIGN_SUBSAMPLE_OFF)
                ->set("restart_interval", (opaqueImage.width() + mcuWidth - 1) / mcuWidth)
                ->set("optimize_coding", static_cast<double>(image.width()) * image.height() <=
                                             kMaxOptimisedJpegPixels));
        return;
    }
    case ImageType::tiff:
        if (!saveTiff(image, file, options.stop))
            image.tiffsave(path.c_str(),
                           VImage::option()
                               ->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE)
                               ->set("predictor", VIPS_FOREIGN_TIFF_PREDICTOR_HORIZONTAL));
        return;
    case ImageType::gif: encodeGif(image, file, options.stop); return;
    case ImageType::webp:
        image.webpsave(path.c_str(), VImage::option()->set("Q", qualityPercent(options.quality)));
        return;
    case ImageType::jp2:
        image.jp2ksave(path.c_str(), VImage::option()->set("Q", qualityPercent(options.quality)));
        return;
    case ImageType::jxl:
        image.jxlsave(path.c_str(), VImage::option()->set("Q", qualityPercent(options.quality)));
        return;
    case ImageType::bmp:
        image.magicksave(path.c_str(), VImage::option()->set("format", "bmp"));
        return;
    case ImageType::tga:
        opaque(image).magicksave(path.c_str(), VImage::option()->set("format", "tga"));
        return;
    case ImageType::heic:
    case ImageType::heif:
    case ImageType::avif: {
        VImage rgb = image;
        if (rgb.bands() < 3)
            rgb = rgb.colourspace(VIPS_INTERPRETATION_sRGB);
        encodeHeif(rgb, file,
                   {.av1 = options.type == ImageType::avif,
                    .quality = options.quality,
                    .fastest = options.fastest},
                   options.stop);
        return;
    }
    default: throw PlatformError("no encoder for this image type");
    }
}

const char* suffixFor(ImageType type) {
    switch (type) {
    case ImageType::png: return ".png";
    case ImageType::jpeg: return ".jpg";
    case ImageType::tiff: return ".tiff";
    case ImageType::gif: return ".gif";
    case ImageType::webp: return ".webp";
    case ImageType::jp2: return ".jp2";
    case ImageType::jxl: return ".jxl";
    case ImageType::bmp: return ".bmp";
    case ImageType::tga: return ".tga";
    case ImageType::heic: return ".heic";
    case ImageType::heif: return ".heif";
    case ImageType::avif: return ".avif";
    default: return nullptr;
    }
}

} // namespace

void forEachRowBlock(const VImage& image, int rows, const std::function<void(RowBlock&)>& take) {
    RowBlocker blocker{take, std::max(rows, 1), {}, {}};
    blocker.block.rowBytes = VIPS_IMAGE_SIZEOF_LINE(image.get_image());
    blocker.block.pixels.reserve(blocker.block.rowBytes * static_cast<std::size_t>(blocker.rows));
    const int failed = vips_sink_disc(image.get_image(), collectRows, &blocker);
    if (blocker.failure) {
        vips_error_clear();
        std::rethrow_exception(blocker.failure);
    }
    if (failed != 0)
        throwVipsFailure(vips_error_buffer());
    if (!blocker.block.pixels.empty())
        blocker.hand();
}

void encodeImage(const Image& image, const std::filesystem::path& file,
                 const EncodeOptions& options) {
    callVips([&] { saveWithVips(image.impl().image, file, options); });
}

std::vector<std::uint8_t> encodeImageToBytes(const Image& image, const EncodeOptions& options) {
    const char* suffix = suffixFor(options.type);
    if (suffix == nullptr)
        throw PlatformError("no encoder for this image type");
    // Encoders write files by name (ImageMagick and libheif pick the format from it): use a private
    // temporary file and read it back.
    std::string pattern =
        (std::filesystem::temp_directory_path() / "Kelvane_encode_XXXXXX").string() + suffix;
    const int fd = mkstemps(pattern.data(), static_cast<int>(std::strlen(suffix)));
    if (fd < 0)
        throw PlatformError("cannot create a temporary file");
    ::close(fd);
    const std::filesystem::path temporary = pattern;
    struct Remove {
        std::filesystem::path path;
        ~Remove() {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } remover{temporary};
    encodeImage(image, temporary, options);
    return readAll(temporary);
}

bool canEncode(ImageType type) {
    static std::mutex lock;
    static std::map<ImageType, bool> known;
    std::lock_guard guard(lock);
    if (auto it = known.find(type); it != known.end())
        return it->second;
    bool works = false;
    try {
        ensureVipsStarted();
        std::vector<std::uint8_t> pixels(16 * 16 * 4, 0x80);
        works =
            !encodeImageToBytes(Image::fromRGBA8(pixels, 16, 16), {.type = type, .quality = 0.5})
                 .empty();
    } catch (const std::exception&) {
        works = false;
    }
    known[type] = works;
    return works;
}

} // namespace kv::platform
