// Byte helpers shared by the ZIP, TAR and GZIP code: little-endian fields, CRC-32, entry names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kv::ArchiveConverter {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

/// Ceiling for a source archive, a decompressed payload and a tree to repack: the "max 2 GB" of
/// the refusal messages (2,147,483,648 bytes; equal is allowed).
constexpr std::uint64_t kMaxArchiveBytes = 2ull << 30;

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

/// Reflected CRC-32 of ISO-HDLC (polynomial 0xEDB88320, as ZIP and GZIP use); 0 for no bytes.
std::uint32_t crc32Checksum(ByteView data);

/// Entry-name bytes as UTF-8 text: kept when valid UTF-8, else read as Windows-1252, else as
/// ISO Latin-1 (for the five bytes 1252 leaves undefined).
std::string decodeArchiveName(ByteView bytes);

/// A relative path that cannot leave the folder it is joined to: backslashes become "/", empty,
/// "." and ".." components are dropped. Empty when nothing is left, or when the name holds a NUL
/// byte (the file system would silently cut it there).
std::string sanitizePath(std::string_view name);

/// "2.15 GB": the 2 GiB ceiling as the limit messages show it.
std::string formattedArchiveLimit();

} // namespace kv::ArchiveConverter
