// HEIC and AVIF encoding through libheif, which lets us pick the encoder's speed settings.
#include "base/ordered_workers.h"
#include "image/exif_patch.h"
#include "image/heif_grid.h"
#include "image/vips_image.h"
#include "platform/c_handle.h"
#include "platform/image/heif_owners.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <libheif/heif.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kv::image {
namespace {

// Encoder settings, chosen by measurement on 24-megapixel photos (2 cores):
// - HEVC (x265): preset "fast" with 32-pixel coding trees split no finer than 16 pixels. The
// default
//   preset ("slow" in libheif's plugin) takes ~30 s, "fast" ~11 s at a similar size. On a still
//   image the fast presets differ only in how finely they split: the 8-pixel coding units cost
//   2.3× the time for 4% of size and 0.3 dB PSNR at our quality cap (transforms still go down to
//   4 pixels); "ultrafast" is a little faster again but 1.4 dB worse, without SAO.
// - AV1 (aom): speed 7 (the effort-2 setting of vips' own saver) and 4:2:0 chroma: 6× faster than
// the
//   default speed and smaller, since photos rarely need full-resolution chroma.
constexpr const char* kX265Preset = "fast";
// Compression levels, whose every result is measured and shown: 1.3–1.7× quicker than "fast" at
// each level (6 MP photo); grainy photos come out smaller (no psychovisual tuning keeps the grain),
// clean ones 2–30% larger at the lower levels.
constexpr const char* kX265FastestPreset = "ultrafast";
constexpr const char* kX265TreeSize = "32";     // x265 "ctu"
constexpr const char* kX265SmallestUnit = "16"; // x265 "min-cu-size"
constexpr int kAomSpeed = 7;
constexpr const char* kChroma = "420";
// Pictures larger than this a side are coded as a grid of tiles no larger (see encodeGrid), each
// on one core. HEVC: 512, the usual HEIC tile; 12-megapixel AV1 files came out 0.3% larger than
// one whole-picture AV1 image with 512-pixel tiles and 0.05% smaller with 768 (for 25% more time,
// still 1.0× libheif's own single-image encode on 2 cores).
constexpr std::uint32_t kLargestHevcTile = 512;
constexpr std::uint32_t kLargestAv1Tile = 768;

void check(const heif_error& error, const char* step) {
    if (error.code != heif_error_Ok)
        throw PlatformError(std::string("libheif ") + step + ": " +
                            (error.message ? error.message : "failed"));
}

std::span<const std::uint8_t> blob(const vips::VImage& image, const char* field) {
    if (image.get_typeof(field) == 0)
        return {};
    std::size_t length = 0;
    const void* data = image.get_blob(field, &length);
    return {static_cast<const std::uint8_t*>(data), length};
}

struct Planes {
    std::uint8_t* y = nullptr;
    std::uint8_t* cb = nullptr;
    std::uint8_t* cr = nullptr;
    std::uint8_t* alpha = nullptr;
    int yStride = 0;
    int cbStride = 0;
    int crStride = 0;
    int alphaStride = 0;
};

// RGB(A) pixels read for conversion; reads beyond the right or bottom edge repeat the edge pixel,
// which pads grid tiles and odd sizes.
struct Pixels {
    const std::uint8_t* data = nullptr;
    std::size_t rowBytes = 0;
    int width = 0;
    int rows = 0;
    int bands = 3;
    const std::uint8_t* at(int x, int y) const {
        return data + static_cast<std::size_t>(std::min(y, rows - 1)) * rowBytes +
               static_cast<std::size_t>(std::min(x, width - 1)) * static_cast<std::size_t>(bands);
    }
};

// Full-range BT.601 (the JPEG matrix) in 16-bit fixed point; chroma from the mean of each 2 × 2
// block. Fills `width` × `rows` samples of the planes from plane row `top`, which is even.
void toYCbCr(const Pixels& pixels, int width, int rows, int top, const Planes& planes) {
    constexpr int kShift = 16;
    constexpr int kHalf = 1 << (kShift - 1);
    constexpr int kYR = 19595, kYG = 38470, kYB = 7471;       // 0.299, 0.587, 0.114
    constexpr int kCbR = -11059, kCbG = -21709, kCbB = 32768; // −0.168736, −0.331264, 0.5
    constexpr int kCrR = 32768, kCrG = -27439, kCrB = -5329;  // 0.5, −0.418688, −0.081312
    for (int y = 0; y < rows; ++y) {
        std::uint8_t* luma = planes.y + static_cast<std::ptrdiff_t>(top + y) * planes.yStride;
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = pixels.at(x, y);
            luma[x] =
                static_cast<std::uint8_t>((kYR * p[0] + kYG * p[1] + kYB * p[2] + kHalf) >> kShift);
        }
        if (planes.alpha != nullptr) {
            std::uint8_t* a =
                planes.alpha + static_cast<std::ptrdiff_t>(top + y) * planes.alphaStride;
            for (int x = 0; x < width; ++x)
                a[x] = pixels.at(x, y)[3];
        }
    }
    for (int y = 0; y < rows; y += 2) {
        const std::ptrdiff_t chromaRow = (top + y) / 2;
        std::uint8_t* cb = planes.cb + chromaRow * planes.cbStride;
        std::uint8_t* cr = planes.cr + chromaRow * planes.crStride;
        for (int x = 0; x < width; x += 2) {
            const std::uint8_t* a = pixels.at(x, y);
            const std::uint8_t* b = pixels.at(x + 1, y);
            const std::uint8_t* c = pixels.at(x, y + 1);
            const std::uint8_t* d = pixels.at(x + 1, y + 1);
            // Sums of four samples: the mean's fixed-point value needs two more bits of shift.
            const int r = a[0] + b[0] + c[0] + d[0];
            const int g = a[1] + b[1] + c[1] + d[1];
            const int bl = a[2] + b[2] + c[2] + d[2];
            constexpr int kOffset = (128 << (kShift + 2)) + (kHalf << 2);
            cb[x / 2] = static_cast<std::uint8_t>(
                std::clamp((kCbR * r + kCbG * g + kCbB * bl + kOffset) >> (kShift + 2), 0, 255));
            cr[x / 2] = static_cast<std::uint8_t>(
                std::clamp((kCrR * r + kCrG * g + kCrB * bl + kOffset) >> (kShift + 2), 0, 255));
        }
    }
}

struct Settings {
    bool av1 = false;
    int quality = 85; // percent
    int threads = 0;  // per encoder; 0 leaves the choice to the encoder
    bool fastest = false;
};

std::uint32_t largestTile(const Settings& settings) {
    return settings.av1 ? kLargestAv1Tile : kLargestHevcTile;
}

platform::heif::Encoder makeEncoder(heif_context* context, const Settings& settings) {
    heif_encoder* rawEncoder = nullptr;
    check(heif_context_get_encoder_for_format(
              context, settings.av1 ? heif_compression_AV1 : heif_compression_HEVC, &rawEncoder),
          "encoder");
    platform::heif::Encoder encoder(rawEncoder);
    check(heif_encoder_set_lossy_quality(encoder.get(), settings.quality), "quality");
    check(heif_encoder_set_parameter_string(encoder.get(), "chroma", kChroma), "chroma");
    if (settings.av1) {
        check(heif_encoder_set_parameter_integer(encoder.get(), "speed", kAomSpeed), "speed");
        if (settings.threads > 0)
            check(heif_encoder_set_parameter_integer(encoder.get(), "threads", settings.threads),
                  "threads");
    } else {
        check(heif_encoder_set_parameter_string(
                  encoder.get(), "preset", settings.fastest ? kX265FastestPreset : kX265Preset),
              "preset");
        // libheif hands parameters named "x265:…" to x265 as they are.
        check(heif_encoder_set_parameter_string(encoder.get(), "x265:ctu", kX265TreeSize), "ctu");
        check(
            heif_encoder_set_parameter_string(encoder.get(), "x265:min-cu-size", kX265SmallestUnit),
            "min-cu-size");
        if (settings.threads > 0)
            check(heif_encoder_set_parameter_string(encoder.get(), "x265:pools",
                                                    std::to_string(settings.threads).c_str()),
                  "pools");
    }
    return encoder;
}

// A 4:2:0 picture (plus alpha) tagged with the sRGB primaries and curve and the matrix of toYCbCr.
platform::heif::Picture makePicture(int width, int height, bool alpha, Planes& planes) {
    heif_image* rawImage = nullptr;
    check(heif_image_create(width, height, heif_colorspace_YCbCr, heif_chroma_420, &rawImage),
          "image");
    platform::heif::Picture picture(rawImage);
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    check(heif_image_add_plane(picture.get(), heif_channel_Y, width, height, 8), "plane");
    check(heif_image_add_plane(picture.get(), heif_channel_Cb, chromaWidth, chromaHeight, 8),
          "plane");
    check(heif_image_add_plane(picture.get(), heif_channel_Cr, chromaWidth, chromaHeight, 8),
          "plane");
    if (alpha)
        check(heif_image_add_plane(picture.get(), heif_channel_Alpha, width, height, 8), "plane");
    planes = {};
    planes.y = heif_image_get_plane(picture.get(), heif_channel_Y, &planes.yStride);
    planes.cb = heif_image_get_plane(picture.get(), heif_channel_Cb, &planes.cbStride);
    planes.cr = heif_image_get_plane(picture.get(), heif_channel_Cr, &planes.crStride);
    if (alpha)
        planes.alpha = heif_image_get_plane(picture.get(), heif_channel_Alpha, &planes.alphaStride);
    if (planes.y == nullptr || planes.cb == nullptr || planes.cr == nullptr ||
        (alpha && planes.alpha == nullptr))
        throw PlatformError("libheif plane: no memory");
    platform::heif::Nclx nclx(heif_nclx_color_profile_alloc());
    if (!nclx)
        throw PlatformError("libheif: no memory");
    nclx->color_primaries = heif_color_primaries_ITU_R_BT_709_5;                 // sRGB primaries
    nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1; // sRGB curve
    nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6; // the matrix of toYCbCr
    nclx->full_range_flag = 1;
    check(heif_image_set_nclx_color_profile(picture.get(), nclx.get()), "colour profile");
    return picture;
}

heif_error appendBytes(heif_context*, const void* data, std::size_t size, void* userdata) {
    auto* bytes = static_cast<std::vector<std::uint8_t>*>(userdata);
    const auto* first = static_cast<const std::uint8_t*>(data);
    bytes->insert(bytes->end(), first, first + size);
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// One row of tiles' worth of source rows, shared by the tiles cut from it.
struct Strip {
    RowBlock rows;
    Pixels pixels;
};

Pixels pixelsOf(const RowBlock& block, const vips::VImage& image) {
    return {block.pixels.data(), block.rowBytes, image.width(), block.count, image.bands()};
}

// The whole picture in one coded image, written by libheif.
void throwIfStopped(const std::stop_token& stop) {
    if (stop.stop_requested())
        throw PlatformError("HEIF encoding stopped");
}

void encodeSingle(const vips::VImage& image, const std::filesystem::path& file,
                  const Settings& settings, std::span<const std::uint8_t> icc,
                  std::span<const std::uint8_t> exif, std::span<const std::uint8_t> xmp,
                  const std::stop_token& stop) {
    const int width = image.width();
    const int height = image.height();
    platform::heif::Context context(heif_context_alloc());
    const auto encoder = makeEncoder(context.get(), settings);
    Planes planes;
    const auto picture = makePicture(width, height, image.bands() == 4, planes);
    // Strips of an even number of rows, so chroma pairs never straddle two.
    constexpr int kStrip = 256;
    forEachRowBlock(image, kStrip, [&](RowBlock& block) {
        throwIfStopped(stop);
        toYCbCr(pixelsOf(block, image), width, block.count, block.top, planes);
    });
    throwIfStopped(stop);
    if (!icc.empty())
        check(heif_image_set_raw_color_profile(picture.get(), "prof", icc.data(), icc.size()),
              "colour profile");

    platform::heif::EncodingOptions options(heif_encoding_options_alloc());
    heif_image_handle* rawHandle = nullptr;
    check(heif_context_encode_image(context.get(), picture.get(), encoder.get(), options.get(),
                                    &rawHandle),
          "encode");
    platform::heif::Handle handle(rawHandle);
    if (!exif.empty())
        check(heif_context_add_exif_metadata(context.get(), handle.get(), exif.data(),
                                             static_cast<int>(exif.size())),
              "EXIF");
    if (!xmp.empty())
        check(heif_context_add_XMP_metadata(context.get(), handle.get(), xmp.data(),
                                            static_cast<int>(xmp.size())),
              "XMP");
    check(heif_context_write_to_file(context.get(), file.c_str()), "write");
}

struct TileJob {
    std::shared_ptr<const Strip> strip;
    int left = 0; // first source column of the tile
};

// Tiles coded separately on every core, in a grid: no encoder holds more than one tile, and the
// tiles decode in parallel too.
void encodeGrid(const vips::VImage& image, const std::filesystem::path& file, Settings settings,
                std::span<const std::uint8_t> icc, std::span<const std::uint8_t> exif,
                std::span<const std::uint8_t> xmp, const std::stop_token& stop) {
    const auto width = static_cast<std::uint32_t>(image.width());
    const auto height = static_cast<std::uint32_t>(image.height());
    const HeifTiling tiling = planHeifTiles(width, height, largestTile(settings));
    const int tileWidth = static_cast<int>(tiling.tileWidth);
    const int tileHeight = static_cast<int>(tiling.tileHeight);
    const bool alpha = image.bands() == 4;
    settings.threads = 1; // the parallelism is across tiles

    HeifGrid grid;
    grid.width = width;
    grid.height = height;
    grid.columns = tiling.columns;
    grid.rows = tiling.rows;
    grid.icc.assign(icc.begin(), icc.end());
    grid.exif.assign(exif.begin(), exif.end());
    grid.xmp.assign(xmp.begin(), xmp.end());
    grid.tiles.reserve(static_cast<std::size_t>(tiling.columns) * tiling.rows);

    const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
    OrderedWorkers<TileJob, HeifCodedImage> workers(
        threads, [&]() -> OrderedWorkers<TileJob, HeifCodedImage>::Work {
            return [&](TileJob& job) {
                const Pixels& source = job.strip->pixels;
                Pixels pixels = source;
                pixels.data = source.data + static_cast<std::size_t>(job.left) *
                                                static_cast<std::size_t>(source.bands);
                pixels.width = std::min(tileWidth, source.width - job.left);
                platform::heif::Context context(heif_context_alloc());
                const auto encoder = makeEncoder(context.get(), settings);
                Planes planes;
                const auto picture = makePicture(tileWidth, tileHeight, alpha, planes);
                toYCbCr(pixels, tileWidth, tileHeight, 0, planes);
                job.strip.reset();
                platform::heif::EncodingOptions options(heif_encoding_options_alloc());
                heif_image_handle* rawHandle = nullptr;
                check(heif_context_encode_image(context.get(), picture.get(), encoder.get(),
                                                options.get(), &rawHandle),
                      "encode");
                heif_image_handle_release(rawHandle);
                std::vector<std::uint8_t> bytes;
                heif_writer writer{1, &appendBytes};
                check(heif_context_write(context.get(), &writer, &bytes), "write");
                return extractHeifImage(bytes);
            };
        });
    const auto keep = [&](HeifCodedImage& tile) { grid.tiles.push_back(std::move(tile)); };
    forEachRowBlock(image, tileHeight, [&](RowBlock& block) {
        auto strip = std::make_shared<Strip>();
        strip->rows = std::move(block);
        strip->pixels = pixelsOf(strip->rows, image);
        for (int left = 0; left < static_cast<int>(width); left += tileWidth) {
            throwIfStopped(stop);
            workers.submit({strip, left});
            workers.deliver(false, keep);
        }
    });
    workers.deliver(true, keep);
    throwIfStopped(stop);

    CFile out(std::fopen(file.c_str(), "wb"));
    if (!out)
        throw PlatformError("cannot create " + file.filename().string());
    writeHeifGrid(grid, out.get());
    if (std::fclose(out.release()) != 0)
        throw PlatformError("cannot write the HEIF file");
}

} // namespace

void encodeHeif(const vips::VImage& image, const std::filesystem::path& file,
                const HeifEncoding& encoding, std::stop_token stop) {
    const int width = image.width();
    const int height = image.height();
    if (image.format() != VIPS_FORMAT_UCHAR || (image.bands() != 3 && image.bands() != 4))
        throw PlatformError("HEIF encoder needs 8-bit RGB or RGBA");
    Settings settings;
    settings.av1 = encoding.av1;
    settings.fastest = encoding.fastest;
    settings.quality = static_cast<int>(std::lround(std::clamp(encoding.quality, 0.0, 1.0) * 100));

    // HEIF readers orient by the container, so the EXIF copy always says 1 and gives the real size.
    std::vector<std::uint8_t> exif;
    if (const auto original = blob(image, VIPS_META_EXIF_NAME); !original.empty()) {
        if (auto patched =
                patchExif(original, {.orientation = 1, .pixelWidth = width, .pixelHeight = height}))
            exif = std::move(*patched);
    }
    // Owned copies: pulling the pixels can swap the image's metadata blobs for the loader's own.
    const auto iccBlob = blob(image, VIPS_META_ICC_NAME);
    const auto xmpBlob = blob(image, VIPS_META_XMP_NAME);
    const std::vector<std::uint8_t> icc(iccBlob.begin(), iccBlob.end());
    const std::vector<std::uint8_t> xmp(xmpBlob.begin(), xmpBlob.end());
    if (width <= static_cast<int>(largestTile(settings)) &&
        height <= static_cast<int>(largestTile(settings)))
        encodeSingle(image, file, settings, icc, exif, xmp, stop);
    else
        encodeGrid(image, file, settings, icc, exif, xmp, stop);
}

} // namespace kv::image
