// bzip2 streams through the libbz2 bound at run time.
#include "archive/bzip2_codec.h"

#include "archive/ordered_parallel.h"
#include "base/size_text.h"
#include "engine/conversion_error.h"
#include "platform/dynamic_library.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

namespace kv::BZip2 {
namespace {

constexpr std::uint64_t kMaxInputBytes = 4294967296ull; // the "max 4 GB" of the size message
constexpr int kWorkFactor = 30;
constexpr std::size_t kFirstBufferFloor = 64 * 1024;
constexpr std::uint64_t kFirstBufferRatio = 6; // bzip2 typically shrinks text 4–6 times

const platform::Bzip2Api& api() {
    const platform::Bzip2Api* bound = platform::bzip2Api();
    if (bound == nullptr)
        throw ConversionError::unsupportedFormat();
    return *bound;
}

// Keeps a decompressor's state freed on every path out.
class Decoder {
  public:
    explicit Decoder(const platform::Bzip2Api& lib) : m_lib(lib) {}
    ~Decoder() { end(); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    int begin() {
        end();
        m_stream = {};
        const int result = m_lib.decompressInit(handle(), 0, 0);
        m_open = result == BZ_OK;
        return result;
    }
    void end() {
        if (m_open)
            m_lib.decompressEnd(handle());
        m_open = false;
    }
    bz_stream& stream() { return m_stream; }
    int step() { return m_lib.decompress(handle()); }

  private:
    bz_stream* handle() { return &m_stream; }

    const platform::Bzip2Api& m_lib;
    bz_stream m_stream{};
    bool m_open = false;
};

ConversionError decompressionFailed(int code) {
    return ConversionError::corruptFile("bzip2 decompression failed (code " + std::to_string(code) +
                                        ")");
}

// One stream of `data` through the library's one-shot encoder.
Bytes compressOneShot(const platform::Bzip2Api& lib, ByteView data, int blockSize100k) {
    // bzip2's documented worst case: 1% larger plus 600 bytes.
    const std::uint64_t capacity = data.size() + data.size() / 100 + 1024;
    if (capacity > std::numeric_limits<unsigned int>::max())
        throw ConversionError::corruptFile("File is too large for bzip2 (max 4 GB)");
    Bytes out(static_cast<std::size_t>(capacity));
    auto length = static_cast<unsigned int>(capacity);
    // The library takes non-const pointers but does not write to the source.
    const int result = lib.buffToBuffCompress(
        reinterpret_cast<char*>(out.data()), &length,
        const_cast<char*>(reinterpret_cast<const char*>(data.data())),
        static_cast<unsigned int>(data.size()), blockSize100k, 0, kWorkFactor);
    if (result != BZ_OK)
        throw ConversionError::corruptFile("bzip2 compression failed (code " +
                                           std::to_string(result) + ")");
    out.resize(length);
    return out;
}

// --- One stream, its blocks compressed on all cores ---
//
// A bzip2 stream is a 4-byte header, blocks that are each encoded on their own, and an end
// marker with a CRC combined from the blocks' CRCs. The encoder's input is cut where libbz2
// itself would close each block; every piece then becomes a one-block stream on some core, and
// the blocks are spliced, bit for bit, into one stream: the same bytes as the one-shot encoder.

constexpr std::size_t kStreamHeaderBits = 32; // "BZh" and the block-size digit
constexpr std::uint64_t kBlockMagic = 0x314159265359;
constexpr std::uint64_t kEndMagic = 0x177245385090;
constexpr std::size_t kMagicBits = 48;
constexpr std::size_t kCrcBits = 32;
constexpr std::size_t kRunLimit = 255; // the longest run the first run-length stage counts

// Where libbz2 starts each block of a one-shot stream: it fills a block with run-length pairs
// (a run of 1…3 equal bytes takes that many slots, 4…255 take five) until 100,000 × size − 19
// slots are used; the byte that closed the last pair opens the next block.
std::vector<std::size_t> blockStarts(ByteView data, int blockSize100k) {
    const std::size_t slots = static_cast<std::size_t>(blockSize100k) * 100000 - 19;
    std::vector<std::size_t> starts;
    std::size_t p = 0;
    while (p < data.size()) {
        starts.push_back(p);
        std::size_t used = 0;
        unsigned current = 256; // no run yet
        std::size_t length = 0;
        while (p < data.size() && used < slots) {
            const unsigned byte = data[p++];
            if (byte == current && length < kRunLimit) {
                ++length;
                continue;
            }
            if (current < 256)
                used += length < 4 ? length : 5;
            current = byte;
            length = 1;
        }
        // The run just opened belongs to the next block, unless the input ends here: the last
        // block takes in whatever is left.
        if (used >= slots && p < data.size())
            p -= length;
    }
    return starts;
}

std::uint64_t readBits(ByteView data, std::size_t bit, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i, ++bit)
        value = (value << 1) | ((static_cast<unsigned>(data[bit / 8]) >> (7 - bit % 8)) & 1u);
    return value;
}

// A one-block stream's block: where its bits start and end, and its CRC.
struct BlockBits {
    Bytes stream;
    std::size_t endBit = 0;
    std::uint32_t crc = 0;
};

// Checks that `stream` holds exactly one block and locates it; none when it does not.
std::optional<BlockBits> locateOnlyBlock(Bytes stream) {
    constexpr std::size_t kFixedBits = kStreamHeaderBits + 2 * (kMagicBits + kCrcBits);
    if (stream.size() * 8 < kFixedBits + 8 ||
        readBits(stream, kStreamHeaderBits, kMagicBits) != kBlockMagic)
        return std::nullopt;
    const auto crc =
        static_cast<std::uint32_t>(readBits(stream, kStreamHeaderBits + kMagicBits, kCrcBits));
    // The end marker follows the block, then the combined CRC (for one block, its own CRC), then
    // zero bits up to the byte.
    std::optional<std::size_t> end;
    for (std::size_t padding = 0; padding < 8; ++padding) {
        const std::size_t total = stream.size() * 8 - padding;
        if (readBits(stream, total, padding) != 0 ||
            readBits(stream, total - kCrcBits - kMagicBits, kMagicBits) != kEndMagic ||
            readBits(stream, total - kCrcBits, kCrcBits) != crc)
            continue;
        if (end)
            return std::nullopt; // ambiguous: let the one-shot encoder do it
        end = total - kCrcBits - kMagicBits;
    }
    if (!end || *end < kStreamHeaderBits + kMagicBits + kCrcBits)
        return std::nullopt;
    return BlockBits{std::move(stream), *end, crc};
}

// Appends bits, most significant first, as bzip2 writes them.
class BitWriter {
  public:
    explicit BitWriter(Bytes& out) : m_out(out) {}
    void put(std::uint32_t value, std::size_t count) {
        m_buffer = (m_buffer << count) | value;
        m_count += count;
        while (m_count >= 8) {
            m_count -= 8;
            m_out.push_back(static_cast<std::uint8_t>(m_buffer >> m_count));
        }
    }
    // Bits [first, end) of `data`, 32 at a time.
    void copy(ByteView data, std::size_t first, std::size_t end) {
        std::size_t bit = first;
        for (; end - bit >= 32 && bit / 8 + 5 <= data.size(); bit += 32) {
            std::uint64_t window = 0;
            for (std::size_t i = 0; i < 5; ++i)
                window = (window << 8) | data[bit / 8 + i];
            put(static_cast<std::uint32_t>(window >> (8 - bit % 8)), 32);
        }
        for (; bit < end; ++bit)
            put((static_cast<unsigned>(data[bit / 8]) >> (7 - bit % 8)) & 1u, 1);
    }
    void finish() {
        if (m_count > 0)
            put(0, 8 - m_count);
    }

  private:
    Bytes& m_out;
    std::uint64_t m_buffer = 0;
    std::size_t m_count = 0;
};

struct NotOneBlock {};

std::optional<Bytes> compressInParallel(const platform::Bzip2Api& lib, ByteView data,
                                        int blockSize100k) {
    const std::vector<std::size_t> starts = blockStarts(data, blockSize100k);
    if (starts.size() < 2)
        return std::nullopt;
    Bytes out;
    out.reserve(data.size() + data.size() / 100 + 1024);
    BitWriter writer(out);
    writer.put('B', 8);
    writer.put('Z', 8);
    writer.put('h', 8);
    writer.put(static_cast<std::uint32_t>('0' + blockSize100k), 8);
    std::uint32_t combinedCrc = 0;
    try {
        ArchiveConverter::prepareInOrder<std::optional<BlockBits>>(
            starts.size(),
            [&](std::size_t index) {
                const std::size_t end = index + 1 < starts.size() ? starts[index + 1] : data.size();
                return locateOnlyBlock(compressOneShot(
                    lib, data.subspan(starts[index], end - starts[index]), blockSize100k));
            },
            [&](std::optional<BlockBits>&& block) {
                if (!block)
                    throw NotOneBlock{};
                writer.copy(block->stream, kStreamHeaderBits, block->endBit);
                combinedCrc = ((combinedCrc << 1) | (combinedCrc >> 31)) ^ block->crc;
            });
    } catch (const NotOneBlock&) {
        return std::nullopt;
    }
    writer.put(static_cast<std::uint32_t>(kEndMagic >> 24), 24);
    writer.put(static_cast<std::uint32_t>(kEndMagic & 0xFFFFFFu), 24);
    writer.put(combinedCrc, kCrcBits);
    writer.finish();
    return out;
}

} // namespace

bool isBZip2(ByteView data) {
    return data.size() >= 4 && data[0] == 'B' && data[1] == 'Z' && data[2] == 'h' &&
           data[3] >= '1' && data[3] <= '9';
}

bool available() {
    return platform::bzip2Api() != nullptr;
}

Bytes compress(ByteView data, int blockSize100k) {
    const platform::Bzip2Api& lib = api();
    if (data.empty())
        throw ConversionError::emptyOutput();
    if (data.size() >= kMaxInputBytes)
        throw ConversionError::corruptFile("File is too large for bzip2 (max 4 GB)");
    if (data.size() + data.size() / 100 + 1024 > std::numeric_limits<unsigned int>::max())
        throw ConversionError::corruptFile("File is too large for bzip2 (max 4 GB)");
    if (std::thread::hardware_concurrency() >= 2) {
        if (std::optional<Bytes> out = compressInParallel(lib, data, blockSize100k))
            return std::move(*out);
    }
    return compressOneShot(lib, data, blockSize100k);
}

std::optional<Bytes> compressBlocksInParallel(ByteView data, int blockSize100k) {
    return compressInParallel(api(), data, blockSize100k);
}

Bytes decompress(ByteView data, std::uint64_t maxOutputBytes) {
    const platform::Bzip2Api& lib = api();
    if (!isBZip2(data))
        throw ConversionError::corruptFile("Not a bzip2 stream (bad magic)");
    if (data.size() >= kMaxInputBytes)
        throw ConversionError::corruptFile("File is too large for bzip2 (max 4 GB)");

    // One byte past the limit is room enough to tell "exactly the limit" from "more".
    const std::uint64_t ceiling = maxOutputBytes + 1;
    Bytes out(static_cast<std::size_t>(std::min<std::uint64_t>(
        ceiling, std::max<std::uint64_t>(kFirstBufferFloor, data.size() * kFirstBufferRatio))));
    std::size_t produced = 0;
    std::size_t consumed = 0;
    Decoder decoder(lib);
    // Concatenated streams (as parallel bzip2 tools write) form one file.
    while (consumed < data.size() && isBZip2(data.subspan(consumed))) {
        if (const int result = decoder.begin(); result != BZ_OK)
            throw decompressionFailed(result);
        bz_stream& stream = decoder.stream();
        stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(data.data() + consumed));
        stream.avail_in = static_cast<unsigned int>(data.size() - consumed);
        for (;;) {
            if (produced == out.size()) {
                if (out.size() >= ceiling)
                    break;
                out.resize(
                    static_cast<std::size_t>(std::min<std::uint64_t>(ceiling, out.size() * 4ull)));
            }
            const std::size_t room = std::min<std::size_t>(
                out.size() - produced, std::numeric_limits<unsigned int>::max());
            stream.next_out = reinterpret_cast<char*>(out.data() + produced);
            stream.avail_out = static_cast<unsigned int>(room);
            const int result = decoder.step();
            produced += room - stream.avail_out;
            if (result == BZ_STREAM_END)
                break;
            if (result != BZ_OK)
                throw decompressionFailed(result);
            // All input taken, room left, and no end of stream: the file is cut short.
            if (stream.avail_in == 0 && stream.avail_out != 0)
                throw decompressionFailed(BZ_UNEXPECTED_EOF);
        }
        if (produced > maxOutputBytes) {
            throw ConversionError::corruptFile(
                "bzip2 contents exceed the " +
                formatByteCount(static_cast<std::int64_t>(maxOutputBytes)) + " limit");
        }
        consumed = data.size() - decoder.stream().avail_in;
        decoder.end();
    }
    out.resize(produced);
    return out;
}

} // namespace kv::BZip2
