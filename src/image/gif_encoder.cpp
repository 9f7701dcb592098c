// One-frame GIFs: the palette and Floyd–Steinberg dithering from libimagequant, LZW from giflib.
// vips' own saver does the same with cgif but holds the frame as RGBA twice (the second copy for
// spotting unchanged pixels in animations) plus the index map: 900 bytes per 100 pixels, 1.2 GB at
// 100 megapixels. Here the pixels are held once at 3 (or 4) bytes each, next to the index map.
#include "image/vips_image.h"
#include "platform/c_handle.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <bit>
#include <gif_lib.h>
#include <libimagequant.h>
#include <memory>
#include <string>
#include <vector>

namespace kv::image {
namespace {

// vips' GIF settings: 255 colours (one index spare), libimagequant speed 4 (its "effort" 7), full
// dithering, alpha below one half transparent.
constexpr int kMaxColours = 255;
constexpr int kSpeed = 4;
constexpr float kDither = 1.0F;
constexpr std::uint8_t kAlphaCut = 128;
constexpr int kLargestSide = 65535; // the format's 16-bit sizes

using QuantAttr = CHandle<liq_attr, &liq_attr_destroy>;
using QuantImage = CHandle<liq_image, &liq_image_destroy>;
using QuantResult = CHandle<liq_result, &liq_result_destroy>;
using ColourMap = CHandle<ColorMapObject, &GifFreeMapObject>;

struct Pixels {
    std::vector<std::uint8_t> bytes;
    std::size_t rowBytes = 0;
    int bands = 3;
};

// libimagequant asks for rows as RGBA, perhaps more than once and in any order.
void rowOf(liq_color out[], int row, int width, void* user) {
    const auto& pixels = *static_cast<const Pixels*>(user);
    const std::uint8_t* in = pixels.bytes.data() + static_cast<std::size_t>(row) * pixels.rowBytes;
    for (int x = 0; x < width; ++x, in += pixels.bands) {
        const bool opaque = pixels.bands < 4 || in[3] >= kAlphaCut;
        // Transparent pixels all become one colour, which helps the palette.
        out[x] = opaque ? liq_color{in[0], in[1], in[2], 255} : liq_color{0, 0, 0, 0};
    }
}

class GifFile {
  public:
    explicit GifFile(const std::filesystem::path& file) {
        int error = 0;
        m_gif = EGifOpenFileName(file.c_str(), false, &error);
        if (m_gif == nullptr)
            throw PlatformError(std::string("cannot create the GIF file: ") +
                                GifErrorString(error));
        EGifSetGifVersion(m_gif, true);
    }
    ~GifFile() {
        if (m_gif != nullptr) {
            int ignored = 0;
            EGifCloseFile(m_gif, &ignored);
        }
    }
    GifFile(const GifFile&) = delete;
    GifFile& operator=(const GifFile&) = delete;

    GifFileType* get() const { return m_gif; }
    void check(int status, const char* step) const {
        if (status != GIF_OK)
            throw PlatformError(std::string("GIF ") + step + ": " + GifErrorString(m_gif->Error));
    }
    void close() {
        int error = 0;
        GifFileType* gif = m_gif;
        m_gif = nullptr;
        if (EGifCloseFile(gif, &error) != GIF_OK)
            throw PlatformError(std::string("GIF close: ") + GifErrorString(error));
    }

  private:
    GifFileType* m_gif = nullptr;
};

} // namespace

void encodeGif(const vips::VImage& input, const std::filesystem::path& file, std::stop_token stop) {
    vips::VImage image = input;
    if (image.bands() < 3)
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.format() != VIPS_FORMAT_UCHAR || (image.bands() != 3 && image.bands() != 4))
        throw PlatformError("GIF encoder needs 8-bit RGB or RGBA");
    const int width = image.width();
    const int height = image.height();
    if (width > kLargestSide || height > kLargestSide)
        throw PlatformError("GIF frame too large");

    Pixels pixels;
    pixels.bands = image.bands();
    pixels.rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(pixels.bands);
    pixels.bytes.reserve(pixels.rowBytes * static_cast<std::size_t>(height));
    forEachRowBlock(image, 256, [&](RowBlock& block) {
        if (stop.stop_requested())
            throw PlatformError("GIF encoding stopped");
        pixels.bytes.insert(pixels.bytes.end(), block.pixels.begin(), block.pixels.end());
    });

    QuantAttr attr(liq_attr_create());
    if (!attr)
        throw PlatformError("libimagequant: no memory");
    liq_set_max_colors(attr.get(), kMaxColours);
    liq_set_quality(attr.get(), 0, 100);
    liq_set_speed(attr.get(), kSpeed);
    QuantImage quantImage(liq_image_create_custom(attr.get(), rowOf, &pixels, width, height, 0));
    if (!quantImage)
        throw PlatformError("libimagequant: cannot take the image");
    liq_result* rawResult = nullptr;
    if (liq_image_quantize(quantImage.get(), attr.get(), &rawResult) != LIQ_OK)
        throw PlatformError("libimagequant: quantisation failed");
    QuantResult result(rawResult);
    liq_set_dithering_level(result.get(), kDither);

    // The index map, row by row as giflib takes it.
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(width) *
                                      static_cast<std::size_t>(height));
    std::vector<unsigned char*> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        rows[static_cast<std::size_t>(y)] =
            indices.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    if (liq_write_remapped_image_rows(result.get(), quantImage.get(), rows.data()) != LIQ_OK)
        throw PlatformError("libimagequant: dithering failed");
    if (stop.stop_requested())
        throw PlatformError("GIF encoding stopped");
    quantImage.reset();
    pixels.bytes = {};

    // A transparent entry, when there is one, comes first in libimagequant's palette.
    const liq_palette* palette = liq_get_palette(result.get());
    const int colours = std::max(static_cast<int>(palette->count), 1);
    const bool transparent = palette->count > 0 && palette->entries[0].a == 0;
    std::vector<GifColorType> table(std::bit_ceil(static_cast<unsigned>(std::max(colours, 2))),
                                    GifColorType{0, 0, 0});
    for (unsigned i = 0; i < palette->count; ++i)
        table[i] =
            GifColorType{palette->entries[i].r, palette->entries[i].g, palette->entries[i].b};
    ColourMap map(GifMakeMapObject(static_cast<int>(table.size()), table.data()));
    if (!map)
        throw PlatformError("GIF: no colour map");

    GifFile gif(file);
    gif.check(EGifPutScreenDesc(gif.get(), width, height, 8, 0, map.get()), "header");
    if (transparent) {
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSAL_UNSPECIFIED;
        control.TransparentColor = 0;
        GifByteType extension[4];
        const auto length = EGifGCBToExtension(&control, extension);
        gif.check(EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length),
                                   extension),
                  "transparency");
    }
    gif.check(EGifPutImageDesc(gif.get(), 0, 0, width, height, false, nullptr), "image");
    for (int y = 0; y < height; ++y) {
        if ((y & 255) == 0 && stop.stop_requested())
            throw PlatformError("GIF encoding stopped");
        gif.check(EGifPutLine(gif.get(), rows[static_cast<std::size_t>(y)], width), "pixels");
    }
    gif.close();
}

} // namespace kv::image
