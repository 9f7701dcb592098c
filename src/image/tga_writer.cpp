// Uncompressed true-colour TGA writer.
#include "image/tga_writer.h"

#include <stdexcept>

namespace kv::image {
namespace {

constexpr std::size_t kHeaderBytes = 18;
constexpr std::uint8_t kTrueColour = 2;       // uncompressed true-colour image
constexpr std::uint8_t kTopLeftOrigin = 0x20; // descriptor bit 5: first stored row is the top

void putUint16(std::vector<std::uint8_t>& out, std::size_t at, int value) {
    out[at] = static_cast<std::uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

} // namespace

std::vector<std::uint8_t> encodeTga(std::span<const std::uint8_t> rgba, int width, int height,
                                    bool withAlpha) {
    if (width < 1 || height < 1 || width > kMaxTgaSide || height > kMaxTgaSide)
        throw std::invalid_argument("TGA sides must be 1 to 65535 pixels");
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (rgba.size() != pixels * 4)
        throw std::invalid_argument("TGA pixel buffer has the wrong size");
    const std::size_t channels = withAlpha ? 4 : 3;

    std::vector<std::uint8_t> out(kHeaderBytes + pixels * channels);
    out[0] = 0;           // ID length: no image ID
    out[1] = 0;           // colour map type: none
    out[2] = kTrueColour; // image type
    // Bytes 3–7: colour map fields, unused. Bytes 8–11: x and y origin, 0.
    putUint16(out, 12, width);
    putUint16(out, 14, height);
    out[16] = static_cast<std::uint8_t>(channels * 8); // bits per pixel
    out[17] =
        static_cast<std::uint8_t>(kTopLeftOrigin | (withAlpha ? 8 : 0)); // alpha bits + origin

    std::uint8_t* to = out.data() + kHeaderBytes;
    const std::uint8_t* from = rgba.data();
    for (std::size_t i = 0; i < pixels; ++i, from += 4) {
        *to++ = from[2]; // TGA stores blue, green, red
        *to++ = from[1];
        *to++ = from[0];
        if (withAlpha)
            *to++ = from[3];
    }
    return out;
}

} // namespace kv::image
