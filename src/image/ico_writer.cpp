// Multi-size ICO writer: 16, 32 and 48 pixels as 32-bit bitmaps, 256 pixels as PNG.
#include "image/ico_writer.h"

#include <algorithm>

namespace kv::image {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// BITMAPINFOHEADER, bottom-up BGRA rows, then the 1-bit AND mask (1 = transparent), rows padded to
// 4 bytes.
std::vector<std::uint8_t> bitmapEntry(const IconRendition& icon) {
    const auto size = static_cast<std::uint32_t>(icon.size);
    const std::uint32_t maskRow = ((size + 31) / 32) * 4;
    std::vector<std::uint8_t> out;
    put32(out, 40);                               // biSize
    put32(out, size);                             // biWidth
    put32(out, size * 2);                         // biHeight: colour rows plus mask rows
    put16(out, 1);                                // biPlanes
    put16(out, 32);                               // biBitCount
    put32(out, 0);                                // biCompression: BI_RGB
    put32(out, size * size * 4 + maskRow * size); // biSizeImage
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (std::uint32_t row = size; row-- > 0;) {
        for (std::uint32_t x = 0; x < size; ++x) {
            const std::uint8_t* p = &icon.rgba[(row * size + x) * 4];
            out.insert(out.end(), {p[2], p[1], p[0], p[3]});
        }
    }
    for (std::uint32_t row = size; row-- > 0;) {
        std::vector<std::uint8_t> mask(maskRow, 0);
        for (std::uint32_t x = 0; x < size; ++x)
            if (icon.rgba[(row * size + x) * 4 + 3] == 0)
                mask[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        out.insert(out.end(), mask.begin(), mask.end());
    }
    return out;
}

} // namespace

std::vector<IconRendition> makeRenditions(const image::Image& image, std::span<const int> sizes) {
    std::vector<IconRendition> renditions;
    if (sizes.empty())
        return renditions;
    const int largest = *std::max_element(sizes.begin(), sizes.end());
    // The largest square is drawn from the source once; smaller ones come from it in memory, so a
    // streamed source is read a single time.
    const auto bigPixels = image.resized(largest, largest).rgba8();
    const image::Image big = image::Image::fromRgba8(bigPixels, largest, largest);
    for (const int size : sizes) {
        IconRendition icon;
        icon.size = size;
        const image::Image square = size == largest ? big : big.resized(size, size);
        icon.rgba = size == largest ? bigPixels : square.rgba8();
        icon.png = image::encodeImageToBytes(square, {.type = image::ImageType::png});
        renditions.push_back(std::move(icon));
    }
    return renditions;
}

std::vector<std::uint8_t> encodeIco(std::span<const IconRendition> renditions) {
    std::vector<std::vector<std::uint8_t>> entries;
    for (const auto& icon : renditions)
        entries.push_back(icon.size >= 256 ? icon.png : bitmapEntry(icon));

    std::vector<std::uint8_t> out;
    put16(out, 0); // reserved
    put16(out, 1); // type: icon
    put16(out, static_cast<std::uint32_t>(renditions.size()));
    auto offset = static_cast<std::uint32_t>(6 + 16 * renditions.size());
    for (std::size_t i = 0; i < renditions.size(); ++i) {
        const int size = renditions[i].size;
        const auto side = static_cast<std::uint8_t>(size >= 256 ? 0 : size); // 0 stands for 256
        out.insert(out.end(), {side, side, 0, 0}); // width, height, palette colours, reserved
        put16(out, 1);                             // colour planes
        put16(out, 32);                            // bits per pixel
        put32(out, static_cast<std::uint32_t>(entries[i].size()));
        put32(out, offset);
        offset += static_cast<std::uint32_t>(entries[i].size());
    }
    for (const auto& entry : entries)
        out.insert(out.end(), entry.begin(), entry.end());
    return out;
}

} // namespace kv::image
