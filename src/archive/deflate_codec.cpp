// Raw DEFLATE: libdeflate for whole buffers, zlib for streaming into a growing buffer.
#include "archive/deflate_codec.h"

#include "engine/conversion_error.h"
#include "platform/c_handle.h"

#include <algorithm>
#include <libdeflate.h>
#include <memory>
#include <zlib.h>

namespace kv::ArchiveConverter {
namespace {

// libdeflate's level 5 matches zlib's default level 6 in size (within 1% on mixed trees of text,
// binaries and noise) in about 15% less time than its own level 6.
constexpr int kDeflateLevel = 5;
// A first buffer larger than 64 times the input is not trusted to the declared size: real files
// rarely shrink that much, and a lying header must not buy a large allocation.
constexpr std::uint64_t kTrustedRatio = 64;
constexpr std::uint64_t kFirstBufferFloor = 64 * 1024;

// What the streaming inflater hands over at a time.
constexpr std::size_t kScratchBytes = 256 * 1024;

libdeflate_compressor& threadCompressor() {
    // One per thread: allocating the match finder costs more than compressing a small file.
    thread_local CHandle<libdeflate_compressor, &libdeflate_free_compressor> compressor(
        libdeflate_alloc_compressor(kDeflateLevel));
    if (!compressor)
        throw ConversionError::conversionFailed();
    return *compressor;
}

} // namespace

InflateResult inflateRaw(ByteView input, std::uint64_t sizeHint, std::uint64_t maxOutputBytes) {
    InflateResult result;
    const CHandle<libdeflate_decompressor, &libdeflate_free_decompressor> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor)
        return result;
    const std::uint64_t possible = input.size() * kTrustedRatio + kFirstBufferFloor;
    std::uint64_t capacity =
        std::min({std::max(sizeHint, kFirstBufferFloor), possible, maxOutputBytes});
    for (;;) {
        result.data.resize(static_cast<std::size_t>(capacity));
        std::size_t consumed = 0;
        std::size_t produced = 0;
        const libdeflate_result code = libdeflate_deflate_decompress_ex(
            decompressor.get(), input.data(), input.size(), result.data.data(), result.data.size(),
            &consumed, &produced);
        if (code == LIBDEFLATE_SUCCESS) {
            result.data.resize(produced);
            result.consumed = consumed;
            result.status = InflateResult::Status::ok;
            return result;
        }
        if (code != LIBDEFLATE_INSUFFICIENT_SPACE) {
            result.data = {};
            return result;
        }
        // The stream really holds more than `capacity` bytes: grow, but never past the ceiling.
        if (capacity >= maxOutputBytes) {
            result.data = {};
            result.status = InflateResult::Status::tooLarge;
            return result;
        }
        capacity = std::min(capacity * 4, maxOutputBytes);
    }
}

AppendResult inflateRawAppend(ByteView input, Bytes& out, std::uint64_t maxTotalBytes) {
    AppendResult result;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) // negative window bits: raw DEFLATE
        return result;
    const CHandle<z_stream, &inflateEnd> release(&stream);
    std::vector<std::uint8_t> scratch(kScratchBytes);
    std::size_t fed = 0;
    for (;;) {
        if (stream.avail_in == 0 && fed < input.size()) {
            const std::size_t chunk = std::min<std::size_t>(input.size() - fed, kScratchBytes * 16);
            stream.next_in = const_cast<Bytef*>(input.data() + fed); // zlib never writes input
            stream.avail_in = static_cast<uInt>(chunk);
            fed += chunk;
        }
        stream.next_out = scratch.data();
        stream.avail_out = static_cast<uInt>(scratch.size());
        const int code = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = scratch.size() - stream.avail_out;
        if (produced > maxTotalBytes - std::min<std::uint64_t>(out.size(), maxTotalBytes)) {
            result.status = InflateResult::Status::tooLarge;
            return result;
        }
        out.insert(out.end(), scratch.begin(),
                   scratch.begin() + static_cast<std::ptrdiff_t>(produced));
        if (code == Z_STREAM_END) {
            result.status = InflateResult::Status::ok;
            result.consumed = fed - stream.avail_in;
            return result;
        }
        // Z_BUF_ERROR asks for more input: with none left the stream is cut short.
        const bool wantsInput = code == Z_BUF_ERROR && fed < input.size();
        if (code != Z_OK && !wantsInput)
            return result;
    }
}

Bytes compressDeflate(ByteView input) {
    if (input.empty())
        return {};
    libdeflate_compressor& compressor = threadCompressor();
    // Left uninitialised: only the pages the compressor writes are ever touched, where a zeroed
    // buffer of the worst-case size would cost as much memory as the input.
    const std::size_t bound = libdeflate_deflate_compress_bound(&compressor, input.size());
    const std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[bound]);
    const std::size_t size =
        libdeflate_deflate_compress(&compressor, input.data(), input.size(), scratch.get(), bound);
    if (size == 0)
        throw ConversionError::conversionFailed();
    return Bytes(scratch.get(), scratch.get() + size);
}

} // namespace kv::ArchiveConverter
