// GZIP framing around raw DEFLATE.
#pragma once

#include "archive/archive_bytes.h"

namespace kv::ArchiveConverter {

/// One GZIP member holding `data`: a 10-byte header, raw DEFLATE, CRC-32 and length.
Bytes compressGzip(ByteView data);

/// The content of a GZIP file (every member, in order), at most 2 GiB. Header flags for an
/// extra field, name, comment and header CRC are honoured; each member's CRC-32 is checked.
Bytes decompressGzip(ByteView data);

} // namespace kv::ArchiveConverter
