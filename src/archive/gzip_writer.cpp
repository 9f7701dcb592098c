// GZIP writer: one member around raw DEFLATE, large inputs deflated on two cores.
#include "archive/deflate_codec.h"
#include "archive/gzip_codec.h"
#include "archive/gzip_format.h"
#include "base/byte_reader.h"

#include <algorithm>
#include <array>
#include <optional>
#include <thread>
#include <zlib.h>

namespace kv::ArchiveConverter {
namespace {

// Below this a second thread costs more than it saves.
constexpr std::size_t kTwoChunkThreshold = 4u << 20;
// The first chunk's thread also scans its stream, so it takes a little less than half.
constexpr std::size_t kFirstChunkPercent = 46;

// Where the final block of a raw DEFLATE stream starts and where it ends, in bits.
struct FinalBlock {
    std::size_t headerBit = 0;
    std::size_t endBit = 0;
};

// zlib's inflate stops at each block boundary under Z_BLOCK and tells how many bits of the last
// byte it took are still unused, which locates every block header exactly.
std::optional<FinalBlock> locateFinalBlock(ByteView stream) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return std::nullopt;
    z.next_in = const_cast<Bytef*>(stream.data()); // zlib does not write through next_in
    z.avail_in = static_cast<uInt>(stream.size());
    std::array<Bytef, 1 << 16> scratch{};
    FinalBlock found;
    std::optional<FinalBlock> result;
    for (;;) {
        z.next_out = scratch.data();
        z.avail_out = static_cast<uInt>(scratch.size());
        const int code = inflate(&z, Z_BLOCK);
        if (code != Z_OK && code != Z_STREAM_END)
            break;
        const bool atBoundary = (z.data_type & 128) != 0;
        if (atBoundary) {
            const std::size_t bit = z.total_in * 8 - static_cast<std::size_t>(z.data_type & 7);
            if (z.data_type & 64) { // the block just finished was the last one
                found.endBit = bit;
                result = found;
                break;
            }
            found.headerBit = bit;
        }
        if (code == Z_STREAM_END)
            break;
    }
    inflateEnd(&z);
    return result;
}

// Two independent DEFLATE streams made one: the first loses its final-block flag and ends with
// an empty stored block (a sync flush) so that the second starts on a byte boundary. Returns the
// pieces to write in order (first, joint, second), left apart so that no piece is copied twice.
std::optional<std::array<Bytes, 3>> deflateInTwo(ByteView data) {
    const std::size_t split = data.size() / 100 * kFirstChunkPercent;
    Bytes second;
    std::exception_ptr secondError;
    Bytes first;
    std::optional<FinalBlock> final;
    {
        const std::jthread worker([&] {
            try {
                second = compressDeflate(data.subspan(split));
            } catch (...) {
                secondError = std::current_exception();
            }
        });
        first = compressDeflate(data.first(split));
        final = locateFinalBlock(first);
    }
    if (secondError)
        std::rethrow_exception(secondError);
    if (!final || final->endBit > first.size() * 8)
        return std::nullopt;

    first[final->headerBit / 8] =
        static_cast<std::uint8_t>(first[final->headerBit / 8] & ~(1u << (final->headerBit % 8)));
    const std::size_t usedBits = final->endBit % 8;
    first.resize((final->endBit + 7) / 8);
    if (usedBits != 0)
        first.back() = static_cast<std::uint8_t>(first.back() & ((1u << usedBits) - 1));
    // Stored-block header: BFINAL 0, BTYPE 00 (three zero bits), padding to the byte, then
    // LEN 0 and NLEN 0xFFFF. The three bits fit in the current byte when 1…5 bits are used.
    Bytes joint;
    if (usedBits == 0 || usedBits > 5)
        joint.push_back(0);
    joint.insert(joint.end(), {0x00, 0x00, 0xFF, 0xFF}); // LEN 0, NLEN 0xFFFF (little-endian)
    return std::array<Bytes, 3>{std::move(first), std::move(joint), std::move(second)};
}

} // namespace

Bytes compressGzip(ByteView data) {
    std::array<Bytes, 3> pieces;
    std::optional<std::array<Bytes, 3>> split;
    if (data.size() >= kTwoChunkThreshold && std::thread::hardware_concurrency() >= 2)
        split = deflateInTwo(data);
    if (split)
        pieces = std::move(*split);
    else
        pieces[0] = compressDeflate(data);

    std::size_t size = gzip::kHeaderBytes + gzip::kTrailerBytes;
    for (const Bytes& piece : pieces)
        size += piece.size();
    Bytes out(size);
    // ID1 ID2 CM FLG, MTIME 0, XFL 0, OS unknown
    out[0] = gzip::kId1;
    out[1] = gzip::kId2;
    out[2] = gzip::kMethodDeflate;
    out[9] = gzip::kOsUnknown;
    auto at = out.begin() + gzip::kHeaderBytes;
    for (Bytes& piece : pieces) {
        at = std::copy(piece.begin(), piece.end(), at);
        piece = Bytes(); // freed as soon as it is copied
    }
    ByteWriter trailer; // CRC-32, ISIZE (the length modulo 2^32)
    trailer.u32le(crc32Checksum(data));
    trailer.u32le(static_cast<std::uint32_t>(data.size() & 0xFFFFFFFFu));
    std::copy(trailer.bytes().begin(), trailer.bytes().end(), at);
    return out;
}

} // namespace kv::ArchiveConverter
