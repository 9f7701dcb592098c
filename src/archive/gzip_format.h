// GZIP member layout (RFC 1952): magic, header flags, fixed sizes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::ArchiveConverter::gzip {

constexpr std::uint8_t kId1 = 0x1F;
constexpr std::uint8_t kId2 = 0x8B;
constexpr std::uint8_t kMethodDeflate = 8;
constexpr std::uint8_t kOsUnknown = 255;

constexpr std::uint8_t kFlagHeaderCrc = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;

constexpr std::size_t kHeaderBytes = 10;
constexpr std::size_t kTrailerBytes = 8; // CRC-32, then ISIZE
constexpr std::size_t kFlagsOffset = 3;

// An ISIZE of 0 says nothing: inflate with four times the DEFLATE length, at least 64 KiB.
constexpr std::uint64_t kUnknownSizeFactor = 4;
constexpr std::uint64_t kUnknownSizeFloor = 64 * 1024;

} // namespace kv::ArchiveConverter::gzip
