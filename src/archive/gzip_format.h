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

constexpr std::uint8_t kFlagsReserved = 0xE0; // bits 5 to 7: must be zero (RFC 1952 2.3.1)

constexpr std::size_t kHeaderBytes = 10;
constexpr std::size_t kTrailerBytes = 8; // CRC-32, then ISIZE
constexpr std::size_t kMethodOffset = 2;
constexpr std::size_t kFlagsOffset = 3;

// DEFLATE cannot expand more than 1032:1 (a 258-byte match in under two bits): the most a
// member's ISIZE can honestly claim for its compressed length.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

} // namespace kv::ArchiveConverter::gzip
