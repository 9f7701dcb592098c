// The quality measure of the compression levels: block SSIM over a few sample tiles.
#include "compress/ssim.h"

#include <algorithm>
#include <cstddef>

namespace kv::compress {
namespace {

constexpr int kLargestTile = 512; // pixels a side
constexpr int kSmallestTile = 8;  // one SSIM window
constexpr int kBlock = 8;
constexpr double kC1 = 6.5025;  // (0.01 × 255)²
constexpr double kC2 = 58.5225; // (0.03 × 255)²

} // namespace

std::vector<TileRect> sampleTiles(int w, int h) {
    const int shorter = std::min(w, h);
    if (shorter < kSmallestTile)
        return {};
    const int side = std::min(shorter, kLargestTile);
    const int dx = w - side;
    const int dy = h - side;
    const std::pair<int, int> origins[] = {
        {dx / 2, dy / 2},     {dx / 4, dy / 4},         {3 * dx / 4, dy / 4},
        {dx / 4, 3 * dy / 4}, {3 * dx / 4, 3 * dy / 4},
    };
    std::vector<TileRect> tiles;
    for (const auto& [x, y] : origins)
        tiles.push_back({std::clamp(x, 0, dx), std::clamp(y, 0, dy), side});
    // A small square picture is one tile five times over.
    if (w == h && side == shorter && shorter <= kLargestTile)
        tiles.resize(1);
    return tiles;
}

double ssim(const Gray& a, const Gray& b) {
    if (a.w < kBlock || a.h < kBlock || a.w != b.w || a.h != b.h)
        return 1.0;
    const auto at = [w = static_cast<std::size_t>(a.w)](int row, int column) {
        return static_cast<std::size_t>(row) * w + static_cast<std::size_t>(column);
    };
    double total = 0;
    int blocks = 0;
    for (int y = 0; y <= a.h - kBlock; y += kBlock) {
        for (int x = 0; x <= a.w - kBlock; x += kBlock) {
            double sumA = 0, sumB = 0;
            for (int r = y; r < y + kBlock; ++r)
                for (int c = x; c < x + kBlock; ++c) {
                    sumA += a.px[at(r, c)];
                    sumB += b.px[at(r, c)];
                }
            const double meanA = sumA / 64.0;
            const double meanB = sumB / 64.0;
            double varA = 0, varB = 0, cov = 0;
            for (int r = y; r < y + kBlock; ++r)
                for (int c = x; c < x + kBlock; ++c) {
                    const double da = a.px[at(r, c)] - meanA;
                    const double db = b.px[at(r, c)] - meanB;
                    varA += da * da;
                    varB += db * db;
                    cov += da * db;
                }
            varA /= 63.0;
            varB /= 63.0;
            cov /= 63.0;
            total += ((2 * meanA * meanB + kC1) * (2 * cov + kC2)) /
                     ((meanA * meanA + meanB * meanB + kC1) * (varA + varB + kC2));
            ++blocks;
        }
    }
    return blocks == 0 ? 1.0 : total / blocks;
}

std::optional<double> meanSSIM(std::span<const Gray> a, std::span<const Gray> b) {
    if (a.empty() || a.size() != b.size())
        return std::nullopt;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += ssim(a[i], b[i]);
    return sum / static_cast<double>(a.size());
}

} // namespace kv::compress
