// Image seeds: a generated picture through the image encoders, and a DNG mosaic for LibRaw.
#include "image/image_codec.h"
#include "platform/platform_error.h"
#include "selftest/media_seeds.h"

#include <array>
#include <cstdint>
#include <memory>
#include <tiffio.h>
#include <vector>

namespace kv::SeedFiles {
namespace {

constexpr int kSide = 64;

// Red rises to the right, green downwards, blue along the diagonal: every channel varies.
std::vector<std::uint8_t> gradientRgba() {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kSide * kSide * 4));
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            auto* p = &pixels[static_cast<std::size_t>((y * kSide + x) * 4)];
            p[0] = static_cast<std::uint8_t>(x * 4);
            p[1] = static_cast<std::uint8_t>(y * 4);
            p[2] = static_cast<std::uint8_t>((x + y) * 2);
            p[3] = 255;
        }
    }
    return pixels;
}

image::ImageType imageTypeFor(SupportedFormat format) {
    switch (format) {
    case SupportedFormat::png: return image::ImageType::png;
    case SupportedFormat::jpeg:
    case SupportedFormat::jpg: return image::ImageType::jpeg;
    case SupportedFormat::heif: return image::ImageType::heif;
    case SupportedFormat::webp: return image::ImageType::webp;
    case SupportedFormat::jxl: return image::ImageType::jxl;
    default: throw PlatformError("no image seed for " + std::string(rawValue(format)));
    }
}

struct TiffCloser {
    void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};

// A 16-bit RGGB mosaic of the gradient with the DNG tags LibRaw needs to develop it.
void writeDng(const std::filesystem::path& file) {
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(file.c_str(), "w"));
    if (!tiff)
        throw PlatformError("libtiff cannot create " + file.string());
    TIFF* t = tiff.get();
    static const std::array<std::uint8_t, 4> kDngVersion{1, 4, 0, 0};
    static const std::array<std::uint8_t, 4> kBackwardVersion{1, 1, 0, 0};
    static const std::array<std::uint16_t, 2> kRepeat{2, 2};
    static const std::array<std::uint8_t, 4> kRGGB{0, 1, 1, 2};
    static const std::array<float, 9> kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    static const std::array<float, 3> kNeutral{1, 1, 1};
    const std::uint32_t white = 65535;
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kSide);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kSide);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kSide);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(t, TIFFTAG_MAKE, "Kelvane");
    TIFFSetField(t, TIFFTAG_MODEL, "Seed Camera");
    TIFFSetField(t, TIFFTAG_DNGVERSION, kDngVersion.data());
    TIFFSetField(t, TIFFTAG_DNGBACKWARDVERSION, kBackwardVersion.data());
    TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Kelvane Seed Camera");
    TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, kRepeat.data());
    TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, kRGGB.data());
    TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, kIdentity.data());
    TIFFSetField(t, TIFFTAG_CALIBRATIONILLUMINANT1, 21); // D65
    TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, kNeutral.data());
    TIFFSetField(t, TIFFTAG_WHITELEVEL, 1, &white);

    const auto rgba = gradientRgba();
    std::vector<std::uint16_t> row(kSide);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            // RGGB: even rows alternate red and green, odd rows green and blue.
            const int channel = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
            const auto value = rgba[static_cast<std::size_t>((y * kSide + x) * 4 + channel)];
            row[static_cast<std::size_t>(x)] = static_cast<std::uint16_t>(value * 257);
        }
        if (TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0) < 0)
            throw PlatformError("libtiff cannot write " + file.string());
    }
    if (!TIFFWriteDirectory(t))
        throw PlatformError("libtiff cannot finish " + file.string());
}

} // namespace

void writeSeedImage(SupportedFormat format, const std::filesystem::path& file) {
    if (format == SupportedFormat::raw) {
        writeDng(file);
        return;
    }
    const auto pixels = gradientRgba();
    // Opaque, so flattening leaves the pixels as they are and drops the alpha band: an RGB seed.
    const auto picture = image::Image::fromRgba8(pixels, kSide, kSide).flattened({});
    image::encodeImage(picture, file, {.type = imageTypeFor(format), .quality = 0.9, .stop = {}});
}

} // namespace kv::SeedFiles
