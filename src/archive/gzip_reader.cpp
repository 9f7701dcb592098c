// GZIP reader: every member of the file, checked against its CRC-32 and length.
#include "archive/deflate_codec.h"
#include "archive/gzip_codec.h"
#include "archive/gzip_format.h"
#include "base/byte_reader.h"
#include "base/size_text.h"
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

Bytes decompressGzip(ByteView data, std::uint64_t maxOutputBytes) {
    if (data.size() < gzip::kHeaderBytes)
        throw ConversionError::corruptFile("GZIP data too short");
    if (!hasMagic(data, 0))
        throw ConversionError::corruptFile("Not a valid GZIP file");

    // The last member's ISIZE is the whole size of the usual single-member file: reserving it
    // (never more than the stream could yield) lets the payload grow in place, held once.
    const std::uint64_t lastSize = loadU32le(data, data.size() - 4);
    Bytes out;
    out.reserve(static_cast<std::size_t>(
        std::min({lastSize, data.size() * gzip::kMaxDeflateRatio, maxOutputBytes})));
    std::size_t member = 0;
    for (;;) {
        const std::uint8_t method = data[member + gzip::kMethodOffset];
        const std::uint8_t flags = data[member + gzip::kFlagsOffset];
        if (method != gzip::kMethodDeflate) {
            throw ConversionError::corruptFile("GZIP compression method " + std::to_string(method) +
                                               " is not DEFLATE \u2014 the file is damaged");
        }
        if (flags & gzip::kFlagsReserved)
            throw ConversionError::corruptFile(
                "GZIP header sets reserved flags \u2014 the file is damaged");
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

        const std::size_t start = out.size();
        const AppendResult inflated = inflateRawAppend(data.subspan(p), out, maxOutputBytes);
        if (inflated.status == InflateResult::Status::tooLarge) {
            throw ConversionError::corruptFile(
                "gzip contents exceed the " +
                formatByteCount(static_cast<std::int64_t>(maxOutputBytes)) + " limit");
        }
        if (inflated.status != InflateResult::Status::ok)
            throw ConversionError::corruptFile("Cannot decompress data");

        const std::size_t trailer = p + inflated.consumed;
        if (data.size() - trailer < gzip::kTrailerBytes)
            throw ConversionError::corruptFile("Cannot decompress data");
        const ByteView content = ByteView(out).subspan(start);
        if (loadU32le(data, trailer) != crc32Checksum(content)) {
            throw ConversionError::corruptFile("GZIP checksum mismatch \u2014 the data is damaged");
        }
        if (loadU32le(data, trailer + 4) != static_cast<std::uint32_t>(content.size())) {
            throw ConversionError::corruptFile(
                "GZIP length field does not match the data \u2014 the file is damaged");
        }

        // Concatenated members form one file; anything else after a member (padding) is ignored.
        member = trailer + gzip::kTrailerBytes;
        if (!hasMagic(data, member) || data.size() - member < gzip::kHeaderBytes)
            return out;
    }
}

} // namespace kv::ArchiveConverter
