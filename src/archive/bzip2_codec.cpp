// bzip2 streams through the libbz2 bound at run time.
#include "archive/bzip2_codec.h"

#include "base/size_text.h"
#include "engine/conversion_error.h"

#include "platform/dynamic_library.h"

#include <algorithm>
#include <limits>

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
