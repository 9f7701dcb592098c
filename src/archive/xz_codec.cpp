// .xz streams through liblzma.
#include "archive/xz_codec.h"

#include "base/size_text.h"
#include "engine/conversion_error.h"

#include <algorithm>
#include <lzma.h>
#include <thread>

namespace kv::XZCodec {
namespace {

constexpr std::uint32_t kPreset = 6; // xz's default
constexpr std::uint64_t kDecoderMemoryLimit = 1ull
                                              << 30; // far above any preset's 65 MiB dictionary
constexpr std::size_t kFirstBufferFloor = 64 * 1024;
constexpr std::uint64_t kFirstBufferRatio = 8;

class Stream {
  public:
    Stream() = default;
    ~Stream() { lzma_end(&m_stream); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    lzma_stream* get() { return &m_stream; }

  private:
    lzma_stream m_stream = LZMA_STREAM_INIT;
};

// Runs the coder over all of `input`, growing `out` with the real output up to `ceiling` bytes;
// returns the last liblzma result (LZMA_STREAM_END on success) and whether the ceiling was hit.
lzma_ret run(lzma_stream& stream, ByteView input, Bytes& out, std::uint64_t ceiling, bool& full) {
    stream.next_in = input.data();
    stream.avail_in = input.size();
    std::size_t produced = 0;
    full = false;
    for (;;) {
        if (produced == out.size()) {
            if (out.size() >= ceiling) {
                full = true;
                out.resize(produced);
                return LZMA_OK;
            }
            out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(
                ceiling, std::max<std::uint64_t>(out.size() * 2, kFirstBufferFloor))));
        }
        stream.next_out = out.data() + produced;
        stream.avail_out = out.size() - produced;
        const lzma_ret result = lzma_code(&stream, LZMA_FINISH);
        produced = out.size() - stream.avail_out;
        if (result != LZMA_OK) {
            out.resize(produced);
            return result;
        }
    }
}

// xz -T0 cuts the input into blocks of three times the dictionary (24 MiB at preset 6), one per
// thread at a time, so a 62 MB input runs two blocks side by side and then one alone. Cutting it
// into a multiple of the thread count of near-equal blocks, none shorter than the dictionary,
// keeps every thread busy to the end at the same ratio.
std::uint64_t balancedBlockSize(std::uint64_t size, std::uint32_t threads) {
    lzma_options_lzma preset{};
    if (lzma_lzma_preset(&preset, kPreset))
        return 0; // liblzma's own choice
    const std::uint64_t dictionary = preset.dict_size;
    const std::uint64_t usual = 3 * dictionary;
    std::uint64_t blocks = (size + usual - 1) / usual;
    blocks = (blocks + threads - 1) / threads * threads;
    return std::max(dictionary, (size + blocks - 1) / blocks);
}

} // namespace

bool isXZ(ByteView data) {
    static constexpr std::uint8_t kMagic[] = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00};
    return data.size() >= sizeof kMagic &&
           std::equal(std::begin(kMagic), std::end(kMagic), data.begin());
}

Bytes compress(ByteView data) {
    if (data.empty())
        throw ConversionError::emptyOutput();
    Stream stream;
    lzma_mt options{};
    options.threads = std::clamp(std::thread::hardware_concurrency(), 1u, 16u);
    options.preset = kPreset;
    options.check = LZMA_CHECK_CRC64;
    options.block_size = balancedBlockSize(data.size(), options.threads);
    if (lzma_stream_encoder_mt(stream.get(), &options) != LZMA_OK)
        throw ConversionError::corruptFile("xz compression failed");
    Bytes out(std::max<std::size_t>(kFirstBufferFloor, data.size() / 4));
    bool full = false;
    if (run(*stream.get(), data, out, UINT64_MAX, full) != LZMA_STREAM_END) {
        throw ConversionError::corruptFile("xz compression failed");
    }
    return out;
}

Bytes decompress(ByteView data, std::uint64_t maxOutputBytes) {
    if (!isXZ(data))
        throw ConversionError::corruptFile("Not an xz stream (bad magic)");
    Stream stream;
    if (lzma_stream_decoder(stream.get(), kDecoderMemoryLimit, LZMA_CONCATENATED) != LZMA_OK) {
        throw ConversionError::corruptFile("xz decoder could not start");
    }
    Bytes out(static_cast<std::size_t>(std::min<std::uint64_t>(
        maxOutputBytes + 1,
        std::max<std::uint64_t>(kFirstBufferFloor, data.size() * kFirstBufferRatio))));
    bool full = false;
    // One byte past the limit is room enough to tell "exactly the limit" from "more".
    const lzma_ret result = run(*stream.get(), data, out, maxOutputBytes + 1, full);
    if (full || out.size() > maxOutputBytes) {
        throw ConversionError::corruptFile(
            "xz contents exceed the " + formatByteCount(static_cast<std::int64_t>(maxOutputBytes)) +
            " limit");
    }
    switch (result) {
    case LZMA_STREAM_END: return out;
    case LZMA_MEMLIMIT_ERROR:
        throw ConversionError::corruptFile("xz stream needs more memory than allowed");
    case LZMA_FORMAT_ERROR:
    case LZMA_OPTIONS_ERROR:
        throw ConversionError::corruptFile("xz stream uses an unsupported format or options");
    case LZMA_BUF_ERROR: throw ConversionError::corruptFile("xz data is truncated");
    default: throw ConversionError::corruptFile("xz data is corrupt");
    }
}

} // namespace kv::XZCodec
