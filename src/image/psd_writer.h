// Flat 8-bit RGB(A) Photoshop writer (one composite image, no layers).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kv::image {

/// Largest side a version-1 PSD can hold.
inline constexpr int kMaxPsdSide = 30000;

/// The PSD file for row-major RGBA pixels; `withAlpha` adds the fourth channel.
/// PackBits-compressed. Throws std::invalid_argument when a side exceeds kMaxPsdSide.
std::vector<std::uint8_t> encodePsd(std::span<const std::uint8_t> rgba, int width, int height,
                                    bool withAlpha);

} // namespace kv::image
