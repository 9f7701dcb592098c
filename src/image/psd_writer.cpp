// Flat 8-bit RGB(A) Photoshop writer (one composite image, no layers).
#include "image/psd_writer.h"

#include <stdexcept>

namespace kv::image {
namespace {

void putBe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// PackBits: a control byte n in 0…127 copies n + 1 literals; 257 − n (n in 129…255) repeats the
// next byte.
void packRow(std::span<const std::uint8_t> row, std::vector<std::uint8_t>& out) {
    std::size_t at = 0;
    while (at < row.size()) {
        std::size_t run = 1;
        while (at + run < row.size() && run < 128 && row[at + run] == row[at])
            ++run;
        if (run >= 2) {
            out.push_back(static_cast<std::uint8_t>(257 - run));
            out.push_back(row[at]);
            at += run;
            continue;
        }
        std::size_t start = at;
        std::size_t count = 0;
        while (at < row.size() && count < 128) {
            if (at + 1 < row.size() && row[at + 1] == row[at])
                break;
            ++at;
            ++count;
        }
        out.push_back(static_cast<std::uint8_t>(count - 1));
        out.insert(out.end(), row.begin() + static_cast<std::ptrdiff_t>(start),
                   row.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

} // namespace

std::vector<std::uint8_t> encodePsd(std::span<const std::uint8_t> rgba, int width, int height,
                                    bool withAlpha) {
    if (width < 1 || height < 1 || width > kMaxPsdSide || height > kMaxPsdSide)
        throw std::invalid_argument("PSD sides must be 1 to 30000 pixels");
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    if (rgba.size() != w * h * 4)
        throw std::invalid_argument("pixel buffer does not match the size");
    const int channels = withAlpha ? 4 : 3;

    std::vector<std::uint8_t> out{'8', 'B', 'P', 'S'};
    putBe(out, 1, 2);            // version 1 (PSD, not PSB)
    out.insert(out.end(), 6, 0); // reserved
    putBe(out, static_cast<std::uint32_t>(channels), 2);
    putBe(out, static_cast<std::uint32_t>(height), 4);
    putBe(out, static_cast<std::uint32_t>(width), 4);
    putBe(out, 8, 2); // bits per channel
    putBe(out, 3, 2); // colour mode: RGB
    putBe(out, 0, 4); // colour mode data
    putBe(out, 0, 4); // image resources
    putBe(out, 0, 4); // layer and mask information
    putBe(out, 1, 2); // composite image compression: PackBits

    // Row byte counts for every row of every channel come first, then the packed rows, which are
    // packed straight into the file's buffer (the counts are filled in as each row is done).
    const std::size_t countsAt = out.size();
    out.resize(countsAt + static_cast<std::size_t>(channels) * h * 2);
    std::vector<std::uint8_t> row(w);
    for (int channel = 0; channel < channels; ++channel) {
        for (std::size_t y = 0; y < h; ++y) {
            for (std::size_t x = 0; x < w; ++x)
                row[x] = rgba[(y * w + x) * 4 + static_cast<std::size_t>(channel)];
            const std::size_t before = out.size();
            packRow(row, out);
            const std::size_t length = out.size() - before;
            const std::size_t at = countsAt + (static_cast<std::size_t>(channel) * h + y) * 2;
            out[at] = static_cast<std::uint8_t>(length >> 8);
            out[at + 1] = static_cast<std::uint8_t>(length & 0xFF);
        }
    }
    return out;
}

} // namespace kv::image
