// Uncompressed true-colour TGA writer: rows stored top first, and the header says so.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kv::image {

/// Largest side a TGA can hold: its width and height fields are 16 bits.
inline constexpr int kMaxTgaSide = 65535;

/// The TGA file (image type 2) for row-major RGBA pixels: 32-bit BGRA with `withAlpha`, else
/// 24-bit BGR. The descriptor's origin bit says top-left, matching the row order, so readers
/// that honour it (and those that assume it) show the picture upright.
/// Throws std::invalid_argument for a side outside 1…kMaxTgaSide or a buffer of the wrong size.
std::vector<std::uint8_t> encodeTga(std::span<const std::uint8_t> rgba, int width, int height,
                                    bool withAlpha);

} // namespace kv::image
