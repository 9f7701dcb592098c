// Encoder dispatch: our own PNG, TIFF, GIF and HEIF encoders fed from libvips, libvips' savers for
// the other types; encoding to bytes and the per-type capability check.
#include "image/image_codec.h"
#include "image/png_encoder.h"
#include "image/tiff_encoder.h"
#include "image/vips_image.h"
#include "platform/image/vips_start.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>
#include <unistd.h>

namespace kv::image {
namespace {

using vips::VImage;

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

std::vector<std::uint8_t> readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw PlatformError("cannot open " + file.filename().string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
            !encodeImageToBytes(Image::fromRgba8(pixels, 16, 16), {.type = type, .quality = 0.5})
                 .empty();
    } catch (const std::exception&) {
        works = false;
    }
    known[type] = works;
    return works;
}

} // namespace kv::image
