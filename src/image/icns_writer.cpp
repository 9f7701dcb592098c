// Multi-size ICNS writer: 16 to 1024 pixels.
#include "image/icns_writer.h"

#include <cstring>
#include <string_view>

namespace kv::image {
namespace {

void putType(std::vector<std::uint8_t>& out, std::string_view type) {
    out.insert(out.end(), type.begin(), type.end());
}

void putBe32(std::vector<std::uint8_t>& out, std::size_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putElement(std::vector<std::uint8_t>& out, std::string_view type,
                std::span<const std::uint8_t> data) {
    putType(out, type);
    putBe32(out, data.size() + 8);
    out.insert(out.end(), data.begin(), data.end());
}

std::string_view pngTypeFor(int size) {
    switch (size) {
    case 16: return "icp4";
    case 32: return "icp5";
    case 64: return "icp6";
    case 256: return "ic08";
    case 512: return "ic09";
    case 1024: return "ic10";
    default: return {};
    }
}

} // namespace

std::vector<std::uint8_t> packIconChannel(std::span<const std::uint8_t> channel) {
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    std::vector<std::uint8_t> literal;
    const auto flush = [&] {
        if (literal.empty())
            return;
        out.push_back(static_cast<std::uint8_t>(literal.size() - 1));
        out.insert(out.end(), literal.begin(), literal.end());
        literal.clear();
    };
    while (at < channel.size()) {
        std::size_t run = 1;
        while (at + run < channel.size() && run < 130 && channel[at + run] == channel[at])
            ++run;
        if (run >= 3) {
            flush();
            out.push_back(static_cast<std::uint8_t>(0x80 + run - 3));
            out.push_back(channel[at]);
            at += run;
        } else {
            literal.push_back(channel[at++]);
            if (literal.size() == 128)
                flush();
        }
    }
    flush();
    return out;
}

std::vector<std::uint8_t> encodeIcns(std::span<const IconRendition> renditions) {
    std::vector<std::uint8_t> body;
    for (const auto& icon : renditions) {
        if (icon.size == 16 || icon.size == 32 || icon.size == 128) {
            const std::size_t pixels =
                static_cast<std::size_t>(icon.size) * static_cast<std::size_t>(icon.size);
            std::vector<std::uint8_t> packed;
            if (icon.size == 128)
                packed.assign(4, 0); // it32 data starts with four zero bytes
            for (int channel = 0; channel < 3; ++channel) {
                std::vector<std::uint8_t> plane(pixels);
                for (std::size_t i = 0; i < pixels; ++i)
                    plane[i] = icon.rgba[i * 4 + static_cast<std::size_t>(channel)];
                const auto part = packIconChannel(plane);
                packed.insert(packed.end(), part.begin(), part.end());
            }
            std::vector<std::uint8_t> mask(pixels);
            for (std::size_t i = 0; i < pixels; ++i)
                mask[i] = icon.rgba[i * 4 + 3];
            putElement(body, icon.size == 16 ? "is32" : icon.size == 32 ? "il32" : "it32", packed);
            putElement(body, icon.size == 16 ? "s8mk" : icon.size == 32 ? "l8mk" : "t8mk", mask);
        } else if (const auto type = pngTypeFor(icon.size); !type.empty()) {
            putElement(body, type, icon.png);
        }
    }
    std::vector<std::uint8_t> out;
    putType(out, "icns");
    putBe32(out, body.size() + 8);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace kv::image
