// GZIP reader: every member of the file, checked against its CRC-32.
#include "archive/deflate_codec.h"
#include "archive/gzip_codec.h"
#include "archive/gzip_format.h"
#include "base/byte_reader.h"
#include "engine/conversion_error.h"

#include <algorithm>

namespace kv::ArchiveConverter {
namespace {

// Steps past a zero-terminated header string; one past the end when it has no terminator.
std::size_t skipString(ByteView data, std::size_t p) {
    const auto zero =
        std::find(data.begin() + static_cast<std::ptrdiff_t>(std::min(p, data.size())), data.end(),
                  std::uint8_t{0});
    return static_cast<std::size_t>(zero - data.begin()) + 1;
}

bool hasMagic(ByteView data, std::size_t p) {
    return data.size() - p >= 2 && data[p] == gzip::kId1 && data[p + 1] == gzip::kId2;
}

} // namespace

Bytes decompressGzip(ByteView data) {
    if (data.size() < gzip::kHeaderBytes)
        throw ConversionError::corruptFile("GZIP data too short");
    if (!hasMagic(data, 0))
        throw ConversionError::corruptFile("Not a valid GZIP file");

    Bytes out;
    std::size_t member = 0;
    for (;;) {
        const std::uint8_t flags = data[member + gzip::kFlagsOffset];
        std::size_t p = member + gzip::kHeaderBytes;
        if (flags & gzip::kFlagExtra) {
            if (data.size() - member < gzip::kHeaderBytes + 2)
                throw ConversionError::corruptFile("GZIP header truncated (FEXTRA)");
            p += 2u + std::size_t{loadU16le(data, member + gzip::kHeaderBytes)};
        }
        if (flags & gzip::kFlagName)
            p = skipString(data, p);
        if (flags & gzip::kFlagComment)
            p = skipString(data, p);
        if (flags & gzip::kFlagHeaderCrc)
            p += 2;
        if (p >= data.size() || data.size() - p <= gzip::kTrailerBytes) {
            throw ConversionError::corruptFile("GZIP no compressed data after header");
        }

        // ISIZE of the last member is exact for the usual single-member file; it is only a hint.
        const std::uint32_t lastSize = loadU32le(data, data.size() - 4);
        const std::uint64_t deflateLength = data.size() - p - gzip::kTrailerBytes;
        const std::uint64_t hint =
            lastSize != 0
                ? lastSize
                : std::max(gzip::kUnknownSizeFactor * deflateLength, gzip::kUnknownSizeFloor);
        InflateResult inflated = inflateRaw(data.subspan(p), hint, kMaxArchiveBytes - out.size());
        if (inflated.status != InflateResult::Status::ok)
            throw ConversionError::corruptFile("Cannot decompress data");

        const std::size_t trailer = p + inflated.consumed;
        if (data.size() - trailer < gzip::kTrailerBytes)
            throw ConversionError::corruptFile("Cannot decompress data");
        // ISIZE stays a hint (a zero there is tolerated); the CRC-32 catches damaged data.
        if (loadU32le(data, trailer) != crc32Checksum(inflated.data)) {
            throw ConversionError::corruptFile("GZIP checksum mismatch \u2014 the data is damaged");
        }
        if (out.empty()) {
            out = std::move(inflated.data);
        } else {
            out.insert(out.end(), inflated.data.begin(), inflated.data.end());
        }

        // Concatenated members form one file; anything else after a member (padding) is ignored.
        member = trailer + gzip::kTrailerBytes;
        if (!hasMagic(data, member) || data.size() - member < gzip::kHeaderBytes)
            return out;
    }
}

} // namespace kv::ArchiveConverter
