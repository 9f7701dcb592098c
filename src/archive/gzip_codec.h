// GZIP framing around raw DEFLATE.
#pragma once

#include "archive/archive_bytes.h"

namespace kv::ArchiveConverter {

/// One GZIP member holding `data`: a 10-byte header, raw DEFLATE, CRC-32 and length.
Bytes compressGzip(ByteView data);

/// The content of a GZIP file (every member, in order), at most `maxOutputBytes`. Header flags
/// for an extra field, name, comment and header CRC are honoured; a method other than DEFLATE or
/// a reserved flag is refused, and each member's CRC-32 and length (ISIZE) are checked.
Bytes decompressGzip(ByteView data, std::uint64_t maxOutputBytes = kMaxArchiveBytes);

} // namespace kv::ArchiveConverter
