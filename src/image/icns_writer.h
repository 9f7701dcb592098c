// Multi-size ICNS writer: 16 to 1024 pixels.
#pragma once

#include "image/ico_writer.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kv::image {

/// The icon sizes an ICNS output holds, in file order.
inline constexpr int kIcnsSizes[] = {16, 32, 64, 128, 256, 512, 1024};

/// The ICNS file: 16, 32 and 128 pixels as classic RLE colour entries with 8-bit masks (is32/s8mk,
/// il32/l8mk, it32/t8mk: every ICNS reader knows them), 64, 256, 512 and 1024 pixels as PNG entries
/// (icp6, ic08, ic09, ic10).
std::vector<std::uint8_t> encodeIcns(std::span<const IconRendition> renditions);

/// Apple's icon RLE of one channel: runs of 3 to 130 equal bytes, literals of 1 to 128.
std::vector<std::uint8_t> packIconChannel(std::span<const std::uint8_t> channel);

} // namespace kv::image
