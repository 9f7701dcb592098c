// The SVG wrapper: a PNG of the image embedded as a data URI in an SVG document of the same size.
#include "image/svg_writer.h"

namespace kv::image {

std::string base64(std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 63];
        out += kAlphabet[(group >> 6) & 63];
        out += kAlphabet[group & 63];
    }
    if (const std::size_t left = bytes.size() - i; left > 0) {
        const std::uint32_t group =
            (std::uint32_t{bytes[i]} << 16) | (left == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 63];
        out += left == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string wrapPngInSvg(std::span<const std::uint8_t> png, int width, int height) {
    const std::string w = std::to_string(width);
    const std::string h = std::to_string(height);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
           "viewBox=\"0 0 " +
           w + " " + h + "\" width=\"" + w + "\" height=\"" + h +
           "\">\n<image href=\"data:image/png;base64," + base64(png) +
           "\" x=\"0\" y=\"0\" width=\"" + w + "\" height=\"" + h +
           "\" preserveAspectRatio=\"none\"/>\n</svg>";
}

} // namespace kv::image
