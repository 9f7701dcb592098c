// PNG writer that deflates bands of rows on several threads into one zlib stream.
#include "image/png_encoder.h"

#include "base/ordered_workers.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <utility>
#include <zlib.h>

namespace kv::image {
namespace {

// How the bands become one stream (the scheme pigz uses for gzip): each band is raw deflate
// ending in a sync flush, so it stops on a byte boundary with the final-block bit clear; the last
// band ends with Z_FINISH. A band is primed with the 32 KiB of filtered bytes before it, so matches
// reach back across the seam as in a single-threaded stream. The Adler-32 of the whole stream is
// combined from the bands' own checksums.
constexpr std::size_t kWindow = 32 * 1024; // deflate's history window
constexpr unsigned kMaxThreads = 4;
constexpr int kMemLevel = 8;          // zlib's default hash memory
constexpr int kStrategy = Z_FILTERED; // as libpng: filtered rows favour literals over short matches
constexpr std::uint8_t kFilterNone = 0;
constexpr std::uint8_t kFilterUp = 2;
constexpr std::uint32_t kMaxChunk = 0x7FFFFFFF; // a chunk length is a 31-bit value
constexpr std::array<std::uint8_t, 8> kSignature{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct Job {
    bool first = false;                   // the zlib header goes in front
    std::vector<std::uint8_t> data;       // filtered rows
    std::vector<std::uint8_t> dictionary; // the filtered bytes just before `data`, at most 32 KiB
    bool last = false;
};

struct Result {
    std::vector<std::uint8_t> bytes; // raw deflate, with the zlib header in front for band 0
    std::uint32_t crc = 0;           // CRC-32 of "IDAT" and `bytes`
    std::uint32_t adler = 1;         // Adler-32 of the band's filtered bytes
    std::size_t rawLength = 0;
    bool last = false; // the Adler-32 of the whole stream follows
};

void putBigEndian(std::uint8_t* to, std::uint32_t value) {
    to[0] = static_cast<std::uint8_t>(value >> 24);
    to[1] = static_cast<std::uint8_t>(value >> 16);
    to[2] = static_cast<std::uint8_t>(value >> 8);
    to[3] = static_cast<std::uint8_t>(value);
}

// The two-byte zlib header for a 32 KiB window at `level` (FLEVEL tells readers how hard we tried).
std::array<std::uint8_t, 2> zlibHeader(int level) {
    const unsigned flevel = level <= 1 ? 0 : level <= 5 ? 1 : level == 6 ? 2 : 3;
    const unsigned cmf = 0x78;
    unsigned flg = flevel << 6;
    flg += 31 - (cmf * 256 + flg) % 31;
    return {static_cast<std::uint8_t>(cmf), static_cast<std::uint8_t>(flg)};
}

Result deflateBand(const Job& job, int level) {
    Result result;
    result.last = job.last;
    result.rawLength = job.data.size();
    result.adler = static_cast<std::uint32_t>(adler32_z(1, job.data.data(), job.data.size()));

    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, kMemLevel, kStrategy) != Z_OK)
        throw PlatformError("zlib could not start");
    struct End {
        z_stream* stream;
        ~End() { deflateEnd(stream); }
    } end{&stream};
    if (!job.dictionary.empty() &&
        deflateSetDictionary(&stream, job.dictionary.data(),
                             static_cast<uInt>(job.dictionary.size())) != Z_OK)
        throw PlatformError("zlib refused the band dictionary");

    std::size_t used = 0;
    if (job.first) {
        const auto header = zlibHeader(level);
        result.bytes.assign(header.begin(), header.end());
        used = header.size();
    }
    // deflateBound covers Z_FINISH; a sync flush adds at most an empty stored block (5 bytes).
    result.bytes.resize(used + deflateBound(&stream, static_cast<uLong>(job.data.size())) + 16);
    stream.next_in = const_cast<Bytef*>(job.data.data()); // zlib's API is not const-correct
    stream.avail_in = static_cast<uInt>(job.data.size());
    const int flush = job.last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        stream.next_out = result.bytes.data() + used;
        stream.avail_out = static_cast<uInt>(result.bytes.size() - used);
        const int status = deflate(&stream, flush);
        used = result.bytes.size() - stream.avail_out;
        if (status == Z_STREAM_ERROR)
            throw PlatformError("zlib failed");
        if (job.last ? status == Z_STREAM_END : (stream.avail_in == 0 && stream.avail_out != 0))
            break;
        if (stream.avail_out == 0)
            result.bytes.resize(result.bytes.size() * 2);
    }
    result.bytes.resize(used);
    result.crc =
        static_cast<std::uint32_t>(crc32_z(crc32_z(0, reinterpret_cast<const Bytef*>("IDAT"), 4),
                                           result.bytes.data(), result.bytes.size()));
    return result;
}

} // namespace

struct PngEncoder::Shared {
    std::FILE* file = nullptr;
    int width = 0;
    int height = 0;
    int bitDepth = 8;
    std::size_t rowBytes = 0;
    PngSettings settings;

    // Producer side (the thread calling addRows).
    std::vector<std::uint8_t> previousRow; // the last row in file byte order (big-endian samples)
    std::vector<std::uint8_t> currentRow;  // 16-bit rows are swapped into here first
    std::vector<std::uint8_t> band;
    int rowsAdded = 0;
    bool anyBand = false;
    std::uint32_t adler = 1;
    std::vector<std::uint8_t> tail; // the last 32 KiB of filtered bytes submitted so far

    void write(const void* data, std::size_t size) {
        if (size != 0 && std::fwrite(data, 1, size, file) != size)
            throw PlatformError("cannot write the PNG file");
    }

    void writeChunk(const char* type, std::span<const std::uint8_t> data) {
        if (data.size() > kMaxChunk)
            throw PlatformError("PNG chunk too large");
        std::array<std::uint8_t, 8> head{};
        putBigEndian(head.data(), static_cast<std::uint32_t>(data.size()));
        std::memcpy(head.data() + 4, type, 4);
        std::uint32_t crc = static_cast<std::uint32_t>(crc32_z(0, head.data() + 4, 4));
        if (!data.empty())
            crc = static_cast<std::uint32_t>(crc32_z(crc, data.data(), data.size()));
        std::array<std::uint8_t, 4> crcBytes{};
        putBigEndian(crcBytes.data(), crc);
        write(head.data(), head.size());
        write(data.data(), data.size());
        write(crcBytes.data(), crcBytes.size());
    }

    // Last member: its threads stop before the rest goes.
    std::optional<OrderedWorkers<Job, Result>> workers;
};

namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

void append(std::vector<std::uint8_t>& to, std::string_view text) {
    to.insert(to.end(), text.begin(), text.end());
}

std::vector<std::uint8_t> compressed(std::span<const std::uint8_t> data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::vector<std::uint8_t> out(size);
    if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 9) != Z_OK)
        throw PlatformError("zlib could not compress a PNG chunk");
    out.resize(size);
    return out;
}

// tEXt keywords are 1–79 printable Latin-1 characters without leading, trailing or double spaces.
bool usableKeyword(std::string_view keyword) {
    if (keyword.empty() || keyword.size() > 79 || keyword.front() == ' ' || keyword.back() == ' ')
        return false;
    return std::all_of(keyword.begin(), keyword.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte >= 32 && byte <= 126) || byte >= 161;
    });
}

} // namespace

PngEncoder::PngEncoder(const std::filesystem::path& file, int width, int height, int channels,
                       int bitDepth, const PngMetadata& metadata, PngSettings settings)
    : m_shared(std::make_unique<Shared>()) {
    if (width < 1 || height < 1 || channels < 1 || channels > 4 ||
        (bitDepth != 8 && bitDepth != 16))
        throw PlatformError("PNG layout not supported");
    Shared& s = *m_shared;
    s.width = width;
    s.height = height;
    s.bitDepth = bitDepth;
    s.rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels) *
                 static_cast<std::size_t>(bitDepth / 8);
    s.settings = settings;
    s.settings.level = std::clamp(settings.level, 1, 9);
    s.settings.bandBytes = std::max<std::size_t>(settings.bandBytes, 1);
    s.previousRow.assign(s.rowBytes, 0);
    if (bitDepth == 16)
        s.currentRow.resize(s.rowBytes);

    s.file = std::fopen(file.c_str(), "wb");
    if (s.file == nullptr)
        throw PlatformError("cannot create " + file.filename().string());
    static_cast<void>(std::setvbuf(s.file, nullptr, _IOFBF, 1 << 20));

    s.write(kSignature.data(), kSignature.size());
    std::array<std::uint8_t, 13> header{};
    putBigEndian(header.data(), static_cast<std::uint32_t>(width));
    putBigEndian(header.data() + 4, static_cast<std::uint32_t>(height));
    header[8] = static_cast<std::uint8_t>(bitDepth);
    constexpr std::array<std::uint8_t, 5> kColourType{0, 0, 4, 2, 6}; // gray, gray+alpha, RGB, RGBA
    header[9] = kColourType[static_cast<std::size_t>(channels)];
    // header[10..12]: deflate, adaptive filtering, no interlace
    s.writeChunk("IHDR", header);

    if (!metadata.icc.empty()) {
        std::vector<std::uint8_t> iccp = bytesOf("ICC profile");
        iccp.push_back(0);
        iccp.push_back(0); // compression method: deflate
        const auto profile = compressed(metadata.icc);
        iccp.insert(iccp.end(), profile.begin(), profile.end());
        s.writeChunk("iCCP", iccp);
    }
    if (metadata.pixelsPerMetreX > 0 && metadata.pixelsPerMetreY > 0) {
        std::array<std::uint8_t, 9> phys{};
        putBigEndian(phys.data(), metadata.pixelsPerMetreX);
        putBigEndian(phys.data() + 4, metadata.pixelsPerMetreY);
        phys[8] = 1; // unit: metre
        s.writeChunk("pHYs", phys);
    }
    if (!metadata.exif.empty())
        s.writeChunk("eXIf", metadata.exif);
    if (!metadata.xmp.empty()) {
        std::vector<std::uint8_t> itxt = bytesOf("XML:com.adobe.xmp");
        itxt.insert(itxt.end(),
                    {0, 0, 0, 0, 0}); // uncompressed, no language, no translated keyword
        append(itxt, metadata.xmp);
        s.writeChunk("iTXt", itxt);
    }
    for (const auto& [keyword, text] : metadata.texts) {
        if (!usableKeyword(keyword))
            continue;
        std::vector<std::uint8_t> chunk = bytesOf(keyword);
        chunk.push_back(0);
        append(chunk, text);
        s.writeChunk("tEXt", chunk);
    }

    unsigned threads = settings.threads;
    if (threads == 0)
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    const int level = settings.level;
    s.workers.emplace(threads,
                      [level] { return [level](Job& job) { return deflateBand(job, level); }; });
}

PngEncoder::~PngEncoder() {
    Shared& s = *m_shared;
    s.workers.reset();
    if (s.file != nullptr)
        std::fclose(s.file);
}

void PngEncoder::addRows(const std::uint8_t* rows, std::size_t stride, int count) {
    Shared& s = *m_shared;
    if (count < 0 || s.rowsAdded + count > s.height)
        throw PlatformError("more PNG rows than the image has");
    for (int r = 0; r < count; ++r) {
        const std::uint8_t* row = rows + static_cast<std::size_t>(r) * stride;
        if (s.bitDepth == 16) {
            // PNG stores 16-bit samples big-endian.
            for (std::size_t i = 0; i < s.rowBytes; i += 2) {
                std::uint16_t sample = 0;
                std::memcpy(&sample, row + i, 2);
                s.currentRow[i] = static_cast<std::uint8_t>(sample >> 8);
                s.currentRow[i + 1] = static_cast<std::uint8_t>(sample);
            }
            row = s.currentRow.data();
        }
        const std::size_t at = s.band.size();
        s.band.resize(at + 1 + s.rowBytes);
        std::uint8_t* out = s.band.data() + at;
        if (s.rowsAdded == 0) {
            out[0] = kFilterNone;
            std::memcpy(out + 1, row, s.rowBytes);
        } else {
            out[0] = kFilterUp;
            const std::uint8_t* above = s.previousRow.data();
            for (std::size_t i = 0; i < s.rowBytes; ++i)
                out[1 + i] = static_cast<std::uint8_t>(row[i] - above[i]);
        }
        std::memcpy(s.previousRow.data(), row, s.rowBytes);
        ++s.rowsAdded;
        if (s.band.size() >= s.settings.bandBytes && s.rowsAdded < s.height)
            submitBand(false);
    }
}

void PngEncoder::submitBand(bool last) {
    Shared& s = *m_shared;
    Job job;
    job.first = !std::exchange(s.anyBand, true);
    job.last = last;
    job.data = std::move(s.band);
    job.dictionary = s.tail;
    // The next band's dictionary: the last 32 KiB of the stream so far.
    if (job.data.size() >= kWindow) {
        s.tail.assign(job.data.end() - static_cast<std::ptrdiff_t>(kWindow), job.data.end());
    } else {
        s.tail.insert(s.tail.end(), job.data.begin(), job.data.end());
        if (s.tail.size() > kWindow)
            s.tail.erase(s.tail.begin(), s.tail.end() - static_cast<std::ptrdiff_t>(kWindow));
    }
    s.band = {};
    s.band.reserve(s.settings.bandBytes + 1 + s.rowBytes);
    s.workers->submit(std::move(job));
    writeReady(false);
}

void PngEncoder::writeReady(bool waitForAll) {
    Shared& s = *m_shared;
    s.workers->deliver(waitForAll, [&s](Result& result) {
        const bool last = result.last;
        s.adler = static_cast<std::uint32_t>(
            adler32_combine(s.adler, result.adler, static_cast<z_off_t>(result.rawLength)));
        std::array<std::uint8_t, 4> trailer{};
        std::uint32_t length = static_cast<std::uint32_t>(result.bytes.size());
        std::uint32_t crc = result.crc;
        if (last) {
            putBigEndian(trailer.data(), s.adler);
            crc = static_cast<std::uint32_t>(crc32_z(crc, trailer.data(), trailer.size()));
            length += 4;
        }
        if (result.bytes.size() + 4 > kMaxChunk)
            throw PlatformError("PNG band too large");
        std::array<std::uint8_t, 8> head{};
        putBigEndian(head.data(), length);
        std::memcpy(head.data() + 4, "IDAT", 4);
        s.write(head.data(), head.size());
        s.write(result.bytes.data(), result.bytes.size());
        if (last)
            s.write(trailer.data(), trailer.size());
        std::array<std::uint8_t, 4> crcBytes{};
        putBigEndian(crcBytes.data(), crc);
        s.write(crcBytes.data(), crcBytes.size());
    });
}

void PngEncoder::finish() {
    Shared& s = *m_shared;
    if (s.rowsAdded != s.height)
        throw PlatformError("PNG image is missing rows");
    submitBand(true);
    writeReady(true);
    s.writeChunk("IEND", {});
    std::FILE* file = std::exchange(s.file, nullptr);
    if (std::fclose(file) != 0)
        throw PlatformError("cannot write the PNG file");
}

} // namespace kv::image
