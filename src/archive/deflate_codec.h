// Raw DEFLATE (RFC 1951, no zlib or gzip wrapper) over whole buffers.
#pragma once

#include "archive/archive_bytes.h"

#include <cstddef>
#include <cstdint>

namespace kv::ArchiveConverter {

/// The outcome of inflating one raw DEFLATE stream.
struct InflateResult {
    enum class Status { ok, corrupt, tooLarge };
    Status status = Status::corrupt;
    Bytes data;
    std::size_t consumed = 0; // input bytes up to the end of the stream's final block
};

/// Inflates the first DEFLATE stream of `input`. `sizeHint` (a size the file declares) only
/// sizes the first attempt, never beyond what the input could yield; the buffer then grows with
/// the real output. More than `maxOutputBytes` of output gives `tooLarge`.
InflateResult inflateRaw(ByteView input, std::uint64_t sizeHint, std::uint64_t maxOutputBytes);

/// Appends the first DEFLATE stream of `input` to `out`, streaming through a small scratch
/// buffer: `out` grows by exactly what the stream holds, so a caller that reserved the expected
/// size holds the payload once. More than `maxTotalBytes` in `out` gives `tooLarge` (`out` then
/// holds a cut payload). `consumed` counts the input bytes up to the end of the final block.
struct AppendResult {
    InflateResult::Status status = InflateResult::Status::corrupt;
    std::size_t consumed = 0;
};
AppendResult inflateRawAppend(ByteView input, Bytes& out, std::uint64_t maxTotalBytes);

/// Raw DEFLATE at the default level (6); empty input gives empty output. A failed encode throws
/// ConversionError::conversionFailed. Safe to call from several threads at once.
Bytes compressDeflate(ByteView input);

} // namespace kv::ArchiveConverter
