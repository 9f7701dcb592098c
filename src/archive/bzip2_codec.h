// bzip2 streams through the libbz2 bound at run time.
#pragma once

#include "archive/archive_bytes.h"

#include <cstdint>
#include <optional>

namespace kv::BZip2 {

using ArchiveConverter::Bytes;
using ArchiveConverter::ByteView;

/// "BZh" and a block-size digit 1…9.
bool isBZip2(ByteView data);

/// Whether libbz2 could be bound (bz2 is neither offered nor accepted without it).
bool available();

/// One bzip2 stream of `data` at `blockSize100k` (1…9). Input of two blocks or more is encoded
/// on all cores (see `compressBlocksInParallel`).
Bytes compress(ByteView data, int blockSize100k);

/// The stream libbz2's one-shot encoder writes, byte for byte, with the blocks encoded on all
/// cores and spliced into one stream; none for input of a single block, or when an encoded piece
/// does not turn out to be exactly one block.
std::optional<Bytes> compressBlocksInParallel(ByteView data, int blockSize100k);

/// The content of a bzip2 file (every stream, in order); more than `maxOutputBytes` is refused.
/// The output buffer grows with the real output.
Bytes decompress(ByteView data, std::uint64_t maxOutputBytes);

} // namespace kv::BZip2
