// A parallel integrity check of a deflate- or un-compressed striped TIFF's first image.
#include "image/tiff_check.h"

#include "base/mapped_file.h"
#include "platform/c_handle.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <libdeflate.h>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace kv::image {
namespace {

// TIFF 6.0 tags and values used here.
constexpr std::uint16_t kImageWidth = 256;
constexpr std::uint16_t kImageLength = 257;
constexpr std::uint16_t kBitsPerSample = 258;
constexpr std::uint16_t kCompression = 259;
constexpr std::uint16_t kStripOffsets = 273;
constexpr std::uint16_t kSamplesPerPixel = 277;
constexpr std::uint16_t kRowsPerStrip = 278;
constexpr std::uint16_t kStripByteCounts = 279;
constexpr std::uint16_t kPlanarConfiguration = 284;
constexpr std::uint16_t kTileWidth = 322;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint32_t kUncompressed = 1;
constexpr std::uint32_t kAdobeDeflate = 8;
constexpr std::uint32_t kOldDeflate = 32946;
constexpr unsigned kMaxThreads = 4;
constexpr std::uint64_t kMaxDeflateRatio =
    1032; // deflate's largest expansion (258-byte matches in 2 bits)

[[noreturn]] void damaged(const char* what) {
    throw PlatformError(std::string("TIFF ") + what);
}

class Reader {
  public:
    Reader(std::span<const std::uint8_t> bytes, bool bigEndian)
        : m_bytes(bytes), m_bigEndian(bigEndian) {}

    std::uint32_t u16(std::uint64_t at) const {
        need(at, 2);
        const std::uint8_t* p = m_bytes.data() + at;
        return m_bigEndian ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0];
    }
    std::uint32_t u32(std::uint64_t at) const {
        need(at, 4);
        const std::uint8_t* p = m_bytes.data() + at;
        return m_bigEndian ? (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                 (std::uint32_t{p[2]} << 8) | p[3]
                           : (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) |
                                 (std::uint32_t{p[1]} << 8) | p[0];
    }
    void need(std::uint64_t at, std::uint64_t size) const {
        if (at + size > m_bytes.size())
            damaged("is truncated");
    }

  private:
    std::span<const std::uint8_t> m_bytes;
    bool m_bigEndian;
};

struct Entry {
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::uint64_t valueAt = 0; // where the values are: in the entry or at its offset
};

std::vector<std::uint32_t> valuesOf(const Reader& reader, const Entry& entry) {
    if (entry.type != kTypeShort && entry.type != kTypeLong)
        damaged("field has an unexpected type");
    const std::uint64_t size = entry.type == kTypeShort ? 2 : 4;
    reader.need(entry.valueAt, size * entry.count);
    std::vector<std::uint32_t> values(entry.count);
    for (std::uint32_t i = 0; i < entry.count; ++i)
        values[i] = entry.type == kTypeShort ? reader.u16(entry.valueAt + i * size)
                                             : reader.u32(entry.valueAt + i * size);
    return values;
}

} // namespace

bool verifyTiffStrips(const std::filesystem::path& file) {
    const MappedFile mapping(file);
    if (!mapping.readable() || mapping.bytes().empty())
        throw PlatformError("cannot read " + file.filename().string());
    const auto bytes = mapping.bytes();
    if (bytes.size() < 8)
        damaged("is truncated");
    bool bigEndian = false;
    if (bytes[0] == 'I' && bytes[1] == 'I')
        bigEndian = false;
    else if (bytes[0] == 'M' && bytes[1] == 'M')
        bigEndian = true;
    else
        damaged("byte order mark is missing");
    const Reader reader(bytes, bigEndian);
    if (reader.u16(2) != 42)
        return false; // BigTIFF or not a TIFF: the full decode decides

    const std::uint64_t directory = reader.u32(4);
    const std::uint32_t count = reader.u16(directory);
    std::optional<Entry> entries[6]; // width, length, offsets, counts, bits, rows per strip
    std::uint32_t compression = kUncompressed;
    std::uint32_t samples = 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = directory + 2 + std::uint64_t{i} * 12;
        const std::uint16_t tag = static_cast<std::uint16_t>(reader.u16(at));
        Entry entry{static_cast<std::uint16_t>(reader.u16(at + 2)), reader.u32(at + 4), at + 8};
        const std::uint64_t size = entry.type == kTypeShort ? 2 : entry.type == kTypeLong ? 4 : 8;
        if (size * entry.count > 4)
            entry.valueAt = reader.u32(at + 8);
        const auto single = [&] {
            const auto values = valuesOf(reader, entry);
            if (values.size() != 1)
                damaged("field has an unexpected count");
            return values.front();
        };
        switch (tag) {
        case kImageWidth: entries[0] = entry; break;
        case kImageLength: entries[1] = entry; break;
        case kStripOffsets: entries[2] = entry; break;
        case kStripByteCounts: entries[3] = entry; break;
        case kBitsPerSample: entries[4] = entry; break;
        case kRowsPerStrip: entries[5] = entry; break;
        case kCompression: compression = single(); break;
        case kSamplesPerPixel: samples = single(); break;
        case kPlanarConfiguration:
            if (single() != 1)
                return false;
            break;
        case kTileWidth: return false;
        default: break;
        }
    }
    if (compression != kUncompressed && compression != kAdobeDeflate && compression != kOldDeflate)
        return false;
    if (!entries[0] || !entries[1] || !entries[2] || !entries[3])
        damaged("lacks a required field");
    const auto one = [&](const Entry& entry) {
        const auto values = valuesOf(reader, entry);
        if (values.size() != 1)
            damaged("field has an unexpected count");
        return std::uint64_t{values.front()};
    };
    const std::uint64_t width = one(*entries[0]);
    const std::uint64_t height = one(*entries[1]);
    const std::vector<std::uint32_t> bits =
        entries[4] ? valuesOf(reader, *entries[4]) : std::vector<std::uint32_t>{1};
    const std::uint64_t rowsPerStrip = entries[5] ? std::min(one(*entries[5]), height) : height;
    if (width == 0 || height == 0 || rowsPerStrip == 0 || samples == 0)
        damaged("has an empty size");
    std::uint64_t bitsPerPixel = 0;
    for (std::uint32_t i = 0; i < samples; ++i)
        bitsPerPixel += bits[std::min<std::size_t>(i, bits.size() - 1)];
    const std::uint64_t rowBytes = (width * bitsPerPixel + 7) / 8;
    const auto offsets = valuesOf(reader, *entries[2]);
    const auto lengths = valuesOf(reader, *entries[3]);
    const std::uint64_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
    if (offsets.size() != strips || lengths.size() != strips)
        damaged("strip table does not match the image size");
    if (rowsPerStrip * rowBytes >= 0xFFFFFFFFu)
        return false; // 4 GiB strips: the full decode decides
    for (std::uint64_t s = 0; s < strips; ++s)
        reader.need(offsets[s], lengths[s]);

    // Every strip inflates on its own: spread them over the cores.
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::exception_ptr failure;
    const auto work = [&] {
        const CHandle<libdeflate_decompressor, &libdeflate_free_decompressor> inflater(
            libdeflate_alloc_decompressor());
        if (!inflater) {
            std::lock_guard guard(lock);
            if (!failure)
                failure = std::make_exception_ptr(PlatformError("libdeflate could not start"));
            return;
        }
        std::vector<std::uint8_t> out;
        try {
            for (std::uint64_t s = next++; s < strips; s = next++) {
                const std::uint64_t rows = std::min(rowsPerStrip, height - s * rowsPerStrip);
                const std::uint64_t expected = rows * rowBytes;
                if (compression == kUncompressed) {
                    if (lengths[s] < expected)
                        damaged("strip is short");
                    continue;
                }
                // Deflate expands at most 1032:1, so a strip too short for its rows is damaged (and
                // never worth the memory).
                if (expected / kMaxDeflateRatio > lengths[s])
                    damaged("strip is too short for its size");
                out.resize(expected);
                // libdeflate checks the stream's Adler-32 and refuses a strip that inflates too
                // long.
                std::size_t produced = 0;
                const auto status =
                    libdeflate_zlib_decompress(inflater.get(), bytes.data() + offsets[s],
                                               lengths[s], out.data(), out.size(), &produced);
                if (status != LIBDEFLATE_SUCCESS || produced != expected)
                    damaged("strip does not inflate to its size");
                if (failed)
                    break;
            }
        } catch (...) {
            failed = true;
            std::lock_guard guard(lock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    {
        std::vector<std::jthread> helpers;
        for (unsigned i = 1; i < threads && i < strips; ++i)
            helpers.emplace_back(work);
        work();
    } // joins the helpers
    if (failure)
        std::rethrow_exception(failure);
    return true;
}

} // namespace kv::image
