// .xz streams through liblzma.
#pragma once

#include "archive/archive_bytes.h"

#include <cstdint>

namespace kv::XZCodec {

using ArchiveConverter::Bytes;
using ArchiveConverter::ByteView;

/// The six-byte xz stream header magic.
bool isXZ(ByteView data);

/// One .xz stream of `data` (preset 6, CRC-64), encoded on all cores.
Bytes compress(ByteView data);

/// The content of an .xz file (concatenated streams included); more than `maxOutputBytes` is
/// refused, and damaged data fails at the first error liblzma reports.
Bytes decompress(ByteView data, std::uint64_t maxOutputBytes);

} // namespace kv::XZCodec
