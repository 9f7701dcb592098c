// ustar header layout: field offsets and widths, type flags.
#pragma once

#include <cstddef>

namespace kv::ArchiveConverter::tar {

constexpr std::size_t kBlockBytes = 512;
constexpr std::size_t kEndBytes = 1024; // two zero blocks close the archive

constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kNameBytes = 100;
constexpr std::size_t kModeOffset = 100;
constexpr std::size_t kUidOffset = 108;
constexpr std::size_t kGidOffset = 116;
constexpr std::size_t kIdBytes = 8; // mode, uid, gid
constexpr std::size_t kSizeOffset = 124;
constexpr std::size_t kMtimeOffset = 136;
constexpr std::size_t kNumberBytes = 12; // size, mtime
constexpr std::size_t kChecksumOffset = 148;
constexpr std::size_t kChecksumBytes = 8;
constexpr std::size_t kTypeOffset = 156;
constexpr std::size_t kLinkNameOffset = 157;
constexpr std::size_t kMagicOffset = 257;
constexpr std::size_t kVersionOffset = 263;
constexpr std::size_t kPrefixOffset = 345;
constexpr std::size_t kPrefixBytes = 155;

constexpr char kTypeFile = '0';
constexpr char kTypeHardLink = '1';
constexpr char kTypeSymlink = '2';
constexpr char kTypeCharDevice = '3';
constexpr char kTypeBlockDevice = '4';
constexpr char kTypeDirectory = '5';
constexpr char kTypeFifo = '6';
constexpr char kTypePaxHeader = 'x';
constexpr char kTypePaxGlobal = 'g';
constexpr char kTypeLongName = 'L';
constexpr char kTypeLongLink = 'K';
constexpr char kTypeGnuSparse = 'S';   // GNU tar --sparse in its own format
constexpr char kTypeVolumeLabel = 'V'; // GNU tar --label: a name, no file

// A size field whose first byte has the high bit set holds a big-endian binary number (GNU and
// star "base-256"), used for files of 8 GiB and more; the next bit marks a negative number.
constexpr unsigned char kBase256Flag = 0x80;
constexpr unsigned char kBase256Negative = 0x40;

// PAX records ("%d %s=%s\n") name GNU sparse files with keys under this prefix.
constexpr const char* kPaxSparsePrefix = "GNU.sparse.";

} // namespace kv::ArchiveConverter::tar
