// Converts images through the platform image service, and PDF pages to images.
#include "image/image_converter.h"

#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "engine/source_file.h"
#include "image/icns_writer.h"
#include "image/ico_writer.h"
#include "image/image_codec.h"
#include "image/image_pdf.h"
#include "image/image_truncation.h"
#include "image/psd_writer.h"
#include "image/svg_writer.h"
#include "image/tga_writer.h"
#include "image/vips_image.h"
#include "platform/image/vips_support.h"
#include "platform/platform_error.h"
#include "platform/poppler/pdf_document.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace kv::ImageConverter {
namespace {

using F = SupportedFormat;
using image::Image;
using image::ImageSource;
using image::ImageType;

constexpr std::string_view kCategory = "Image";
constexpr image::RgbColor kWhite{1.0, 1.0, 1.0};
constexpr double kHeicQualityCap = 0.85;
constexpr double kPdfMaxPagePoints = 2000.0; // an image PDF's page fits in 2000 × 2000 points
constexpr double kPageScale = 2.0;           // PDF pages render at 144 dots per inch …
constexpr double kMaxPagePixels = 8192.0;    // … but never with a side over 8192 pixels

std::string str(std::string_view text) {
    return std::string(text);
}

std::optional<ImageType> imageTypeFor(SupportedFormat target) {
    switch (target) {
    case F::png: return ImageType::png;
    case F::jpeg:
    case F::jpg: return ImageType::jpeg;
    case F::tiff: return ImageType::tiff;
    case F::bmp: return ImageType::bmp;
    case F::gif: return ImageType::gif;
    case F::heic: return ImageType::heic;
    case F::heif: return ImageType::heif;
    case F::webp: return ImageType::webp;
    case F::avif: return ImageType::avif;
    case F::tga: return ImageType::tga;
    case F::jp2: return ImageType::jp2;
    default: return std::nullopt;
    }
}

// Container types whose images may be copied across with all their metadata.
bool inSameFamily(ImageType type) {
    switch (type) {
    case ImageType::jpeg:
    case ImageType::png:
    case ImageType::tiff:
    case ImageType::heic:
    case ImageType::heif:
    case ImageType::avif:
    case ImageType::jp2: return true;
    default: return false;
    }
}

bool sourceIndexIsCompatible(ImageType sourceType, SupportedFormat target) {
    const auto targetType = imageTypeFor(target);
    if (!targetType || !utTypeForFormat(target))
        return false;
    return sourceType == *targetType || (inSameFamily(sourceType) && inSameFamily(*targetType));
}

// Targets whose files carry an ICC profile through our encoders; the others get sRGB pixels.
bool keepsColourProfile(SupportedFormat target) {
    switch (target) {
    case F::png:
    case F::jpeg:
    case F::jpg:
    case F::tiff:
    case F::heic:
    case F::heif:
    case F::avif:
    case F::webp: return true;
    default: return false;
    }
}

// Targets whose readers honour an EXIF orientation tag, so an untouched image may keep it.
bool honoursOrientationTag(SupportedFormat target) {
    return target == F::jpeg || target == F::jpg || target == F::tiff;
}

void throwIfStopped(const ConvertRequest& request) {
    if (request.stop.stop_requested())
        throw ConversionError::cancelled();
}

std::string fileName(const std::filesystem::path& path) {
    return path.filename().string();
}

// A library error raised while pulling pixels from the source is a decoding failure of the source.
bool isDecodeFailure(const PlatformError& failure) {
    return failure.kind() == PlatformError::Kind::sourceDecoding;
}

[[noreturn]] void failDecode(const ConvertRequest& request) {
    ConversionLogger::shared().error("Failed to decode image at index 0", kCategory,
                                     fileName(request.source));
    throw ConversionError::corruptFile("Could not decode image data");
}

struct Decoded {
    Image image;
    bool rerendered = false;
};

void writeGeneric(const Image& image, SupportedFormat target,
                  const std::filesystem::path& destination, double quality,
                  const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    const auto type = imageTypeFor(target);
    const auto identifier = utTypeForFormat(target);
    if (!type || !identifier) {
        log.error("No UTType mapping for " + str(displayName(target)), kCategory);
        throw ConversionError::unsupportedConversion("Image", displayName(target));
    }
    std::optional<PendingOutput> pending;
    try {
        pending.emplace(destination);
    } catch (const std::exception&) {
        log.error("CGImageDestinationCreateWithURL failed", kCategory);
        throw ConversionError::failedToCreateOutput();
    }
    try {
        image::encodeImage(image, pending->path(),
                           {.type = *type, .quality = quality, .stop = request.stop});
    } catch (const PlatformError& failure) {
        throwIfStopped(request);
        if (isDecodeFailure(failure))
            failDecode(request);
        log.error("CGImageDestinationFinalize returned false", kCategory,
                  "Target: " + str(*identifier));
        pending->throwIfOutOfSpace();
        throw ConversionError::conversionFailed();
    }
    pending->commit();
}

void writeIconFile(const Image& image, std::span<const int> sizes, bool icns,
                   const std::filesystem::path& destination) {
    std::vector<image::IconRendition> renditions;
    try {
        renditions = image::makeRenditions(image, sizes);
    } catch (const PlatformError&) {
        throw ConversionError::conversionFailed();
    }
    if (renditions.empty())
        throw ConversionError::conversionFailed();
    const auto bytes = icns ? image::encodeIcns(renditions) : image::encodeIco(renditions);
    writeOutputFile(destination, std::span<const std::uint8_t>(bytes));
}

void writeSVG(const Image& image, const std::filesystem::path& destination) {
    std::vector<std::uint8_t> png;
    try {
        png = image::encodeImageToBytes(image.inSrgb(), {.type = ImageType::png});
    } catch (const PlatformError&) {
        throw ConversionError::conversionFailed();
    }
    writeOutputFile(destination, image::wrapPngInSvg(png, image.width(), image.height()));
}

void writePsd(const Image& image, const std::filesystem::path& destination) {
    std::vector<std::uint8_t> bytes;
    try {
        // A flat PSD's fourth channel is an extra channel to most readers, not transparency (that
        // needs a layer): transparent parts go onto white, as on a new Photoshop canvas.
        const Image flat = image.flattened(kWhite);
        bytes = image::encodePsd(flat.rgba8(), flat.width(), flat.height(), false);
    } catch (const std::exception& failure) {
        ConversionLogger::shared().error("PSD output failed", kCategory, failure.what());
        throw ConversionError::conversionFailed();
    }
    writeOutputFile(destination, std::span<const std::uint8_t>(bytes));
}

// Our own writer: the origin bit in the header matches the row order (the ImageMagick 6 saver
// stores rows top first but marks the file bottom-up, so honouring readers showed it flipped).
void writeTga(const Image& image, const std::filesystem::path& destination) {
    std::vector<std::uint8_t> bytes;
    try {
        const Image flat = image.flattened(kWhite);
        bytes = image::encodeTga(flat.rgba8(), flat.width(), flat.height(), false);
    } catch (const std::exception& failure) {
        ConversionLogger::shared().error("TGA output failed", kCategory, failure.what());
        throw ConversionError::conversionFailed();
    }
    writeOutputFile(destination, std::span<const std::uint8_t>(bytes));
}

// A target's largest side, where its format or encoder has one within reach.
std::optional<int> maxSideOf(SupportedFormat target) {
    switch (target) {
    case F::webp: return 16383; // 14-bit width and height fields
    case F::jpeg:
    case F::jpg:
    case F::gif: return 65535; // 16-bit fields
    case F::tga: return image::kMaxTgaSide;
    case F::psd: return image::kMaxPsdSide;
    case F::jxl: return 1073741823; // 2^30 − 1
    default: return std::nullopt;
    }
}

void checkTargetLimits(SupportedFormat target, int width, int height) {
    const auto maxSide = maxSideOf(target);
    if (!maxSide || (width <= *maxSide && height <= *maxSide))
        return;
    const std::string message = str(displayName(target)) + " images can be at most " +
                                std::to_string(*maxSide) + " pixels wide and high; this one is " +
                                std::to_string(width) + " \u00d7 " + std::to_string(height) + ".";
    ConversionLogger::shared().error("Image too large for the target", kCategory, message);
    throw ImageTooLarge(message);
}

void createPDFFromImage(const Image& image, const std::filesystem::path& destination,
                        std::span<const std::uint8_t> jpegFile) {
    const double w = image.width();
    const double h = image.height();
    const double scale = std::min({kPdfMaxPagePoints / w, kPdfMaxPagePoints / h, 1.0});
    std::optional<PendingOutput> pending;
    try {
        pending.emplace(destination);
        image::writeImagePdf(image, scale, pending->path(), jpegFile);
    } catch (const std::exception& failure) {
        ConversionLogger::shared().error("Cannot create PDF context", kCategory, failure.what());
        throw ConversionError::failedToCreateOutput();
    }
    pending->commit();
}

std::string twoDecimals(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

} // namespace

std::optional<std::string_view> utTypeForFormat(SupportedFormat target) {
    switch (target) {
    case F::png: return "public.png";
    case F::jpeg:
    case F::jpg: return "public.jpeg";
    case F::tiff: return "public.tiff";
    case F::bmp: return "com.microsoft.bmp";
    case F::gif: return "com.compuserve.gif";
    case F::heic: return "public.heic";
    case F::heif: return "public.heif";
    case F::webp: return "org.webmproject.webp";
    case F::ico: return "com.microsoft.ico";
    case F::avif: return "public.avif";
    case F::psd: return "com.adobe.photoshop-image";
    case F::tga: return "com.truevision.tga-image";
    case F::jp2: return "public.jpeg-2000";
    case F::icns: return "com.apple.icns";
    default: return std::nullopt;
    }
}

std::filesystem::path convert(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    const SupportedFormat target = request.target;
    log.info("Image: " + fileName(request.source) + " \u2192 " + str(displayName(target)),
             kCategory);

    if (::access(request.source.c_str(), R_OK) != 0) {
        log.error("File not readable: " + request.source.string(), kCategory);
        throw ConversionError::fileAccessDenied(fileName(request.source));
    }
    std::optional<ImageSource> opened;
    try {
        opened.emplace(ImageSource::open(request.source));
    } catch (const PlatformError&) {
        if (request.sourceFormat == F::raw)
            failDecode(request); // LibRaw could not develop it
        // Some decoders refuse a cut-off file already when opening it: say why.
        if (auto issue = truncationIssue(request.source)) {
            log.error("Source image is truncated", kCategory, fileName(request.source));
            throw ConversionError::corruptFile(*issue);
        }
        log.error("CGImageSourceCreateWithURL returned nil", kCategory, fileName(request.source));
        throw ConversionError::failedToLoadFile();
    }
    const ImageSource& source = *opened;
    const bool developed = source.type() == ImageType::raw;
    if (!developed) {
        if (auto issue = truncationIssue(request.source)) {
            log.error("Source image is truncated", kCategory, fileName(request.source));
            throw ConversionError::corruptFile(*issue);
        }
    }
    throwIfStopped(request);

    // Decide the geometry first: a tag-keeping copy can stream; turning pixels needs random access.
    const int frame = source.primaryFrame();
    image::ImageProperties properties;
    try {
        properties = source.properties(frame);
    } catch (const PlatformError&) {
        failDecode(request);
    }
    const int longest = std::max(properties.width, properties.height);
    const bool resize =
        request.maxEdge && *request.maxEdge >= 1 && *request.maxEdge < longest && longest >= 1;
    bool rerendered = developed || resize;
    const bool keepTag = !rerendered && sourceIndexIsCompatible(source.type(), target) &&
                         honoursOrientationTag(target);
    const bool turn = properties.orientation != 1 && !keepTag;

    // The output's size, checked against the target before anything is decoded or encoded.
    {
        int width = properties.width;
        int height = properties.height;
        if (resize) {
            const double scale = static_cast<double>(*request.maxEdge) / longest;
            width = std::max(1, static_cast<int>(std::lround(width * scale)));
            height = std::max(1, static_cast<int>(std::lround(height * scale)));
        }
        if (turn && properties.orientation >= 5)
            std::swap(width, height); // a quarter turn
        checkTargetLimits(target, width, height);
    }

    std::optional<Image> decoded;
    try {
        decoded.emplace(source.decode(frame, !turn));
        if (turn)
            decoded.emplace(decoded->oriented());
    } catch (const PlatformError&) {
        failDecode(request);
    }
    Image image = *decoded;

    if (resize) {
        const double scale =
            static_cast<double>(*request.maxEdge) / std::max(image.width(), image.height());
        const int w = static_cast<int>(std::lround(image.width() * scale));
        const int h = static_cast<int>(std::lround(image.height() * scale));
        if (w >= 1 && h >= 1) {
            try {
                image = image.resized(w, h);
            } catch (const PlatformError& failure) {
                log.warning("Resize failed; keeping the original size", kCategory, failure.what());
                rerendered = developed;
            }
        } else {
            rerendered = developed;
        }
    }

    // Metadata: stripping drops location and XMP and keeps the rest; otherwise everything the
    // target can hold goes across (geometry fields follow the new pixels).
    if (request.stripMetadata)
        image = image.withoutGpsAndXmp();
    // Colour: a target that cannot carry the profile gets pixels converted to sRGB first.
    if (image.hasIccProfile() && !keepsColourProfile(target))
        image = image.inSrgb(true);

    const auto destination = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source), fileExtension(target));
    throwIfStopped(request);

    try {
        switch (target) {
        case F::ico: writeIconFile(image, image::kIcoSizes, false, destination); break;
        case F::icns: writeIconFile(image, image::kIcnsSizes, true, destination); break;
        case F::svg: writeSVG(image, destination); break;
        case F::psd: writePsd(image, destination); break;
        case F::tga: writeTga(image, destination); break;
        case F::pdf_image: {
            // An untouched baseline/progressive JPEG without profile or location data goes in as it
            // is.
            std::vector<std::uint8_t> jpeg;
            if (source.type() == ImageType::jpeg && !rerendered && !turn &&
                !request.stripMetadata && !image.hasIccProfile() && !image.hasAlpha())
                jpeg = readSourceBytes(request.source);
            createPDFFromImage(image, destination, jpeg);
            break;
        }
        default: {
            double quality = std::clamp(request.quality, 0.0, 1.0);
            if (target == F::heic || target == F::heif)
                quality = std::min(quality, kHeicQualityCap);
            if (target == F::jpeg || target == F::jpg || target == F::tga)
                image = image.flattened(kWhite);
            writeGeneric(image, target, destination, quality, request);
            break;
        }
        }
    } catch (const PlatformError& failure) {
        throwIfStopped(request);
        if (isDecodeFailure(failure))
            failDecode(request);
        log.error("Image output failed", kCategory, failure.what());
        throw ConversionError::conversionFailed();
    }
    return destination;
}

std::filesystem::path convertPDFPages(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    const SupportedFormat target = request.target;
    log.info("PDF pages: " + fileName(request.source) + " \u2192 " + str(displayName(target)),
             kCategory);

    std::optional<platform::PdfDocument> document;
    try {
        document.emplace(platform::PdfDocument::open(request.source));
    } catch (const PlatformError&) {
        throw ConversionError::failedToLoadFile();
    }

    const auto folder = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source) + " (" + str(displayName(target)) + ")", "");
    PendingOutput pending(folder, PendingOutput::Kind::folder);
    const image::EncodeOptions options{
        .type = target == F::pdfPagePng ? ImageType::png : ImageType::jpeg,
        .quality = std::clamp(request.quality, 0.0, 1.0),
    };
    const int pages = document->pageCount();
    int written = 0;
    for (int i = 0; i < pages; ++i) {
        throwIfStopped(request);
        const auto size = document->pageSize(i);
        if (!size)
            continue;
        const double longest = std::max(size->width, size->height);
        double scale = kPageScale;
        if (kPageScale * longest > kMaxPagePixels) {
            scale = kMaxPagePixels / longest;
            log.warning("Page " + std::to_string(i + 1) + " is very large \u2014 rendering at " +
                            twoDecimals(scale) + "\u00d7 to stay within memory limits",
                        kCategory);
        }
        const int width = std::max(1, static_cast<int>(size->width * scale));
        const int height = std::max(1, static_cast<int>(size->height * scale));
        char name[32];
        std::snprintf(name, sizeof name, "page_%03d.", i + 1);
        const auto file = pending.path() / (name + str(fileExtension(target)));
        const auto encode = [&](const std::uint8_t* bgra, int stride) {
            platform::callVips([&] {
                vips::VImage raster = vips::VImage::new_from_memory(
                    const_cast<std::uint8_t*>(bgra), static_cast<std::size_t>(stride) * height,
                    stride / 4, height, 4, VIPS_FORMAT_UCHAR);
                if (stride / 4 != width)
                    raster = raster.extract_area(0, 0, width, height);
                vips::VImage rgb = raster[2].bandjoin(raster[1]).bandjoin(raster[0]).copy(
                    vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
                image::encodeImage(image::wrapImage(rgb), file, options);
            });
        };
        if (document->renderOnWhite(i, width, height, scale, encode))
            ++written;
        if (request.progress && pages > 0)
            request.progress(static_cast<double>(i + 1) / pages);
    }
    if (written == 0)
        throw ConversionError::emptyOutput(); // the pending folder is removed
    log.success("Wrote " + std::to_string(pages) + " page(s)", kCategory,
                folder.filename().string());
    return pending.commit();
}

} // namespace kv::ImageConverter
