// A complete integrity check of a PNG file that skips the pixel arithmetic.
#include "image/png_check.h"

#include "platform/c_handle.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include <zlib.h>

namespace kv::image {
namespace {

constexpr std::array<std::uint8_t, 8> kSignature{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t kMaxChunk = 0x7FFFFFFF;
constexpr std::size_t kReadBlock = 1 << 20;
constexpr std::size_t kInflateBlock = 256 * 1024;
constexpr std::uint8_t kLastFilterType = 4; // Paeth

std::uint32_t bigEndian(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | at[3];
}

[[noreturn]] void damaged(const char* what) {
    throw PlatformError(std::string("PNG ") + what);
}

// Row sizes (filter byte included) of the image stream, one entry per pass for interlaced images.
struct StreamLayout {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> passes; // rows, bytes per row
    std::uint64_t total = 0;
};

StreamLayout layoutOf(const std::uint8_t* header) {
    const std::uint32_t width = bigEndian(header);
    const std::uint32_t height = bigEndian(header + 4);
    const unsigned depth = header[8];
    const unsigned colour = header[9];
    if (width == 0 || height == 0 || width > kMaxChunk || height > kMaxChunk)
        damaged("has an empty or huge size");
    unsigned channels = 0;
    switch (colour) {
    case 0: channels = 1; break;
    case 2: channels = 3; break;
    case 3: channels = 1; break;
    case 4: channels = 2; break;
    case 6: channels = 4; break;
    default: damaged("has an unknown colour type");
    }
    const bool depthOk = depth == 8 || depth == 16 ? colour != 3 || depth == 8
                                                   : (depth == 1 || depth == 2 || depth == 4) &&
                                                         (colour == 0 || colour == 3);
    if (!depthOk || header[10] != 0 || header[11] != 0 || header[12] > 1)
        damaged("header is invalid");
    const auto rowBytes = [&](std::uint64_t pixels) {
        return 1 + (pixels * channels * depth + 7) / 8;
    };
    StreamLayout layout;
    if (header[12] == 0) {
        layout.passes.emplace_back(height, rowBytes(width));
    } else {
        // Adam7: first column, first row, column step, row step of each pass.
        constexpr std::array<std::array<std::uint32_t, 4>, 7> kAdam7{{{0, 0, 8, 8},
                                                                      {4, 0, 8, 8},
                                                                      {0, 4, 4, 8},
                                                                      {2, 0, 4, 4},
                                                                      {0, 2, 2, 4},
                                                                      {1, 0, 2, 2},
                                                                      {0, 1, 1, 2}}};
        for (const auto& [x0, y0, dx, dy] : kAdam7) {
            const std::uint64_t columns = width > x0 ? (width - x0 + dx - 1) / dx : 0;
            const std::uint64_t rows = height > y0 ? (height - y0 + dy - 1) / dy : 0;
            if (columns > 0 && rows > 0)
                layout.passes.emplace_back(rows, rowBytes(columns));
        }
    }
    for (const auto& [rows, bytes] : layout.passes)
        layout.total += rows * bytes;
    return layout;
}

// Inflates the image stream as IDAT chunks arrive and checks each row's filter type byte.
class StreamCheck {
  public:
    explicit StreamCheck(StreamLayout layout) : m_layout(std::move(layout)), m_out(kInflateBlock) {
        if (inflateInit(&m_stream) != Z_OK)
            throw PlatformError("zlib could not start");
    }
    ~StreamCheck() { inflateEnd(&m_stream); }
    StreamCheck(const StreamCheck&) = delete;
    StreamCheck& operator=(const StreamCheck&) = delete;

    void feed(const std::uint8_t* data, std::size_t size) {
        m_stream.next_in = const_cast<Bytef*>(data); // zlib's API is not const-correct
        m_stream.avail_in = static_cast<uInt>(size);
        for (;;) {
            if (m_ended) {
                if (m_stream.avail_in > 0)
                    damaged("has data after the end of the image stream");
                return;
            }
            m_stream.next_out = m_out.data();
            m_stream.avail_out = static_cast<uInt>(m_out.size());
            const int status = inflate(&m_stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                damaged("image data is corrupt");
            const std::size_t produced = m_out.size() - m_stream.avail_out;
            checkRows(produced);
            if (status == Z_STREAM_END)
                m_ended = true;
            else if (m_stream.avail_in == 0 && m_stream.avail_out != 0)
                return; // wants the next chunk
            else if (status == Z_BUF_ERROR && produced == 0)
                return;
        }
    }

    bool complete() const { return m_ended && m_produced == m_layout.total; }

  private:
    void checkRows(std::size_t count) {
        if (m_produced + count > m_layout.total)
            damaged("image data is longer than its size");
        std::size_t at = 0;
        while (at < count) {
            if (m_pass >= m_layout.passes.size())
                break;
            const auto& [rows, bytes] = m_layout.passes[m_pass];
            if (m_inRow == 0 && m_out[at] > kLastFilterType)
                damaged("row has an unknown filter type");
            const std::uint64_t step = std::min<std::uint64_t>(bytes - m_inRow, count - at);
            at += static_cast<std::size_t>(step);
            m_inRow += step;
            if (m_inRow == bytes) {
                m_inRow = 0;
                if (++m_row == rows) {
                    m_row = 0;
                    ++m_pass;
                }
            }
        }
        m_produced += count;
    }

    StreamLayout m_layout;
    z_stream m_stream{};
    std::vector<std::uint8_t> m_out;
    std::uint64_t m_produced = 0;
    std::size_t m_pass = 0;
    std::uint64_t m_row = 0;
    std::uint64_t m_inRow = 0;
    bool m_ended = false;
};

} // namespace

void verifyPngFile(const std::filesystem::path& file) {
    CFile in(std::fopen(file.c_str(), "rb"));
    if (!in)
        throw PlatformError("cannot open " + file.filename().string());
    std::vector<std::uint8_t> buffer(kReadBlock);
    const auto readExactly = [&](std::uint8_t* to, std::size_t size) {
        if (std::fread(to, 1, size, in.get()) != size)
            damaged("is truncated");
    };
    std::array<std::uint8_t, 8> signature{};
    readExactly(signature.data(), signature.size());
    if (signature != kSignature)
        damaged("signature is missing");

    std::unique_ptr<StreamCheck> stream;
    bool sawPalette = false;
    bool idatDone = false;
    bool inIdat = false;
    for (bool first = true;; first = false) {
        std::array<std::uint8_t, 8> head{};
        readExactly(head.data(), head.size());
        const std::uint32_t length = bigEndian(head.data());
        if (length > kMaxChunk)
            damaged("chunk length is invalid");
        const char* type = reinterpret_cast<const char*>(head.data() + 4);
        const bool isIdat = std::memcmp(type, "IDAT", 4) == 0;
        if (first != (std::memcmp(type, "IHDR", 4) == 0))
            damaged("does not start with its header");
        if (inIdat && !isIdat)
            idatDone = true;
        if (isIdat && idatDone)
            damaged("image data is split by other chunks");
        if (isIdat && !stream)
            damaged("image data comes before the header");
        inIdat = isIdat;

        uLong crc = crc32_z(0, head.data() + 4, 4);
        std::uint32_t left = length;
        std::vector<std::uint8_t> header;
        while (left > 0) {
            const std::size_t take = std::min<std::size_t>(left, buffer.size());
            readExactly(buffer.data(), take);
            crc = crc32_z(crc, buffer.data(), take);
            if (isIdat)
                stream->feed(buffer.data(), take);
            else if (first)
                header.insert(header.end(), buffer.begin(),
                              buffer.begin() + static_cast<std::ptrdiff_t>(take));
            left -= static_cast<std::uint32_t>(take);
        }
        std::array<std::uint8_t, 4> stored{};
        readExactly(stored.data(), stored.size());
        if (bigEndian(stored.data()) != static_cast<std::uint32_t>(crc))
            damaged("chunk checksum does not match");

        if (first) {
            if (header.size() != 13)
                damaged("header is invalid");
            sawPalette = header[9] != 3; // only palette images need PLTE
            stream = std::make_unique<StreamCheck>(layoutOf(header.data()));
        }
        if (std::memcmp(type, "PLTE", 4) == 0)
            sawPalette = true;
        if (std::memcmp(type, "IEND", 4) == 0)
            break;
    }
    if (!sawPalette)
        damaged("palette is missing");
    if (!stream || !stream->complete())
        damaged("image data is incomplete");
}

} // namespace kv::image
