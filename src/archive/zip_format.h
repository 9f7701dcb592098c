// ZIP record layout: signatures, fixed field values and sizes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::ArchiveConverter::zip {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;

constexpr std::size_t kLocalHeaderBytes = 30;   // before the name
constexpr std::size_t kCentralHeaderBytes = 46; // before the name
constexpr std::size_t kEndRecordBytes = 22;     // without a comment
constexpr std::size_t kMaxCommentBytes = 65535; // the end record's 16-bit comment length

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

constexpr std::uint16_t kVersionNeeded = 20;               // 2.0: folders and DEFLATE
constexpr std::uint16_t kVersionMadeBy = 0x031E;           // host 3 (Unix), version 3.0
constexpr std::uint32_t kDirectoryAttributes = 0x41ED0010; // mode 040755, MS-DOS directory bit
constexpr std::uint32_t kFileAttributes = 0x81A40000;      // mode 0100644

constexpr std::uint32_t kMaxU16Field = 65535;
constexpr std::uint64_t kZip64Marker = 0xFFFFFFFF; // a 32-bit field may not hold this value

// Central header fields the reader uses (offsets from the signature).
constexpr std::size_t kCentralMadeByHost = 5;
constexpr std::size_t kCentralFlags = 8;
constexpr std::size_t kCentralMethod = 10;
constexpr std::size_t kCentralCrc = 16;
constexpr std::size_t kCentralCompressedSize = 20;
constexpr std::size_t kCentralUncompressedSize = 24;
constexpr std::size_t kCentralNameLength = 28;
constexpr std::size_t kCentralExtraLength = 30;
constexpr std::size_t kCentralCommentLength = 32;
constexpr std::size_t kCentralExternalAttributes = 38;
constexpr std::size_t kCentralLocalOffset = 42;
constexpr std::size_t kLocalNameLength = 26;
constexpr std::size_t kLocalExtraLength = 28;
constexpr std::size_t kEndTotalEntries = 10;
constexpr std::size_t kEndDirectoryOffset = 16;

// Encryption marks: flag bit 0 (traditional PKWARE and AES), bit 6 (strong encryption), and
// method 99, which WinZip's AES format puts in place of the real method.
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kMethodAes = 99;

constexpr std::uint8_t kHostUnix = 3;
constexpr std::uint32_t kUnixTypeMask = 0170000;
constexpr std::uint32_t kUnixSymlink = 0120000;

} // namespace kv::ArchiveConverter::zip
