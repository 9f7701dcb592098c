// The quality measure of the compression levels: block SSIM over a few sample tiles.
#pragma once

#include <optional>
#include <span>
#include <vector>

namespace kv::compress {

/// A grayscale raster: w × h luminance values 0…255, row-major, top row first.
struct Gray {
    int w = 0;
    int h = 0;
    std::vector<double> px;
};

/// Where a sample tile sits in the picture.
struct TileRect {
    int left = 0;
    int top = 0;
    int side = 0;
};

/// The sample tiles of a w × h picture: none when its shorter side is under 8; otherwise up to five
/// squares of side min(512, shorter side), centre first, then the four quarter points; a square
/// picture of at most 512 a side has the one tile.
std::vector<TileRect> sampleTiles(int w, int h);

/// Block SSIM over non-overlapping 8 × 8 windows (sample statistics, divisor 63); 1.0 when either
/// raster is smaller than 8 a side or the sizes differ.
double ssim(const Gray& a, const Gray& b);

/// The mean of ssim over the pairs; none when `a` is empty or the lists differ in length.
std::optional<double> meanSSIM(std::span<const Gray> a, std::span<const Gray> b);

} // namespace kv::compress
