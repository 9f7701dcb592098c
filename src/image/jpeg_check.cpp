#include "image/jpeg_check.h"

#include "base/mapped_file.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstring>
#include <jerror.h>
#include <jpeglib.h>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace kv::image {
namespace {

using Bytes = std::vector<std::uint8_t>;

// libjpeg reports through callbacks and expects error_exit not to return; it jumps back to the
// decode. Every object libjpeg touches lives here, outside the frame that calls setjmp.
struct Decoder {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
    bool failed = false;
};

Decoder& decoderOf(j_common_ptr info) {
    return *static_cast<Decoder*>(info->client_data);
}

[[noreturn]] void onError(j_common_ptr info) {
    Decoder& decoder = decoderOf(info);
    if (!decoder.failed)
        (*info->err->format_message)(info, decoder.message);
    decoder.failed = true;
    std::longjmp(decoder.jump, 1);
}

// Warnings (level −1) mean corrupt data; trace messages are ignored.
void onMessage(j_common_ptr info, int level) {
    Decoder& decoder = decoderOf(info);
    if (level >= 0 || decoder.failed)
        return;
    (*info->err->format_message)(info, decoder.message);
    decoder.failed = true;
}

using Piece = std::span<const std::uint8_t>;

// Feeds libjpeg a stream made of pieces (a band's own headers, then its part of the mapped file)
// without copying them together. Past the end it supplies an EOI, with libjpeg's warning.
struct PieceSource {
    jpeg_source_mgr manager{}; // first: libjpeg sees a pointer to it
    std::array<Piece, 3> pieces{};
    std::size_t next = 0;

    static PieceSource& of(j_decompress_ptr info) {
        return *reinterpret_cast<PieceSource*>(info->src);
    }
    static void start(j_decompress_ptr) {}
    static void finish(j_decompress_ptr) {}
    static boolean fill(j_decompress_ptr info) {
        PieceSource& source = of(info);
        while (source.next < source.pieces.size() && source.pieces[source.next].empty())
            ++source.next;
        if (source.next == source.pieces.size()) {
            static const JOCTET kEnd[2] = {0xFF, JPEG_EOI};
            WARNMS(info, JWRN_JPEG_EOF);
            source.manager.next_input_byte = kEnd;
            source.manager.bytes_in_buffer = sizeof kEnd;
            return TRUE;
        }
        source.manager.next_input_byte = source.pieces[source.next].data();
        source.manager.bytes_in_buffer = source.pieces[source.next].size();
        ++source.next;
        return TRUE;
    }
    static void skip(j_decompress_ptr info, long count) {
        PieceSource& source = of(info);
        while (count > 0) {
            if (source.manager.bytes_in_buffer == 0)
                (void)fill(info);
            const auto step =
                std::min(static_cast<std::size_t>(count), source.manager.bytes_in_buffer);
            source.manager.next_input_byte += step;
            source.manager.bytes_in_buffer -= step;
            count -= static_cast<long>(step);
        }
    }
};

// The 1/8-scale decode of one JPEG stream; false with the decoder's message on any fault.
bool decodeStream(const std::array<Piece, 3>& pieces, Decoder& decoder) {
    decoder.info.err = jpeg_std_error(&decoder.errors);
    decoder.errors.error_exit = onError;
    decoder.errors.emit_message = onMessage;
    decoder.info.client_data = &decoder;
    if (setjmp(decoder.jump) != 0) {
        jpeg_destroy_decompress(&decoder.info);
        return false;
    }
    jpeg_create_decompress(&decoder.info);
    decoder.info.client_data = &decoder;
    PieceSource source;
    source.pieces = pieces;
    source.manager.init_source = PieceSource::start;
    source.manager.fill_input_buffer = PieceSource::fill;
    source.manager.skip_input_data = PieceSource::skip;
    source.manager.resync_to_restart = jpeg_resync_to_restart;
    source.manager.term_source = PieceSource::finish;
    decoder.info.src = &source.manager;
    jpeg_read_header(&decoder.info, TRUE);
    decoder.info.scale_num = 1;
    decoder.info.scale_denom = 8;
    // Grey output skips colour conversion and the chroma transforms; the scan is still read whole.
    if (decoder.info.jpeg_color_space == JCS_YCbCr ||
        decoder.info.jpeg_color_space == JCS_GRAYSCALE)
        decoder.info.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&decoder.info);
    JSAMPARRAY row = (*decoder.info.mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(&decoder.info), JPOOL_IMAGE,
        decoder.info.output_width * static_cast<JDIMENSION>(decoder.info.output_components), 1);
    while (decoder.info.output_scanline < decoder.info.output_height)
        jpeg_read_scanlines(&decoder.info, row, 1);
    jpeg_finish_decompress(&decoder.info);
    jpeg_destroy_decompress(&decoder.info);
    return !decoder.failed;
}

unsigned be16(Piece bytes, std::size_t at) {
    return (static_cast<unsigned>(bytes[at]) << 8) | bytes[at + 1];
}

// Where a single-scan Huffman JPEG with restart markers can be cut into independent bands.
struct Layout {
    Bytes header;             // SOI and the tables, frame and scan headers (no APPn but 0 and 14)
    std::size_t heightAt = 0; // the frame height's offset in `header`
    std::size_t entropyStart = 0; // file offsets of the scan data and of the EOI marker
    std::size_t entropyEnd = 0;
    std::vector<std::size_t> restarts; // file offsets of the restart markers
    unsigned height = 0;
    unsigned interval = 0; // MCUs per restart interval
    unsigned mcusPerRow = 0;
    unsigned mcuRows = 0;
    unsigned mcuHeight = 0;
};

// Nothing when the file is laid out otherwise (or damaged): it is then decoded in one piece,
// which reports any damage.
std::optional<Layout> bandLayout(Piece file) {
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8)
        return std::nullopt;
    Layout layout;
    layout.header = {0xFF, 0xD8};
    unsigned width = 0, components = 0, maxH = 1, maxV = 1;
    bool frame = false;
    std::size_t at = 2;
    for (;;) {
        if (at + 4 > file.size() || file[at] != 0xFF)
            return std::nullopt;
        while (at < file.size() && file[at] == 0xFF)
            ++at;
        if (at + 3 > file.size())
            return std::nullopt;
        const std::uint8_t marker = file[at];
        const std::size_t segmentStart = at - 1;
        const std::size_t end = at + 1 + be16(file, at + 1);
        if (end > file.size() || end < at + 3)
            return std::nullopt;
        if (marker == 0xC0 || marker == 0xC1) { // sequential, Huffman-coded
            if (end < at + 9 || file[at + 3] != 8)
                return std::nullopt;
            layout.height = be16(file, at + 4);
            width = be16(file, at + 6);
            components = file[at + 8];
            if (components == 0 || end < at + 9 + 3 * components)
                return std::nullopt;
            for (unsigned c = 0; c < components; ++c) {
                maxH = std::max(maxH, static_cast<unsigned>(file[at + 10 + 3 * c] >> 4));
                maxV = std::max(maxV, static_cast<unsigned>(file[at + 10 + 3 * c] & 15));
            }
            layout.heightAt = layout.header.size() + 5;
            frame = true;
        } else if (marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                   marker != 0xCC) {
            return std::nullopt; // progressive, lossless or arithmetic-coded
        } else if (marker == 0xDD) {
            if (end < at + 5)
                return std::nullopt;
            layout.interval = be16(file, at + 3);
        } else if (marker == 0xDA) {
            if (!frame || end < at + 4 || file[at + 3] != components)
                return std::nullopt; // one scan with every component
            layout.header.insert(layout.header.end(),
                                 file.begin() + static_cast<std::ptrdiff_t>(segmentStart),
                                 file.begin() + static_cast<std::ptrdiff_t>(end));
            layout.entropyStart = end;
            break;
        } else if (marker == 0xD8 || marker == 0xD9 || (marker >= 0xD0 && marker <= 0xD7) ||
                   marker == 0x01) {
            return std::nullopt;
        }
        const bool metadata =
            (marker >= 0xE1 && marker <= 0xEF && marker != 0xEE) || marker == 0xFE;
        if (!metadata)
            layout.header.insert(layout.header.end(),
                                 file.begin() + static_cast<std::ptrdiff_t>(segmentStart),
                                 file.begin() + static_cast<std::ptrdiff_t>(end));
        at = end;
    }
    if (layout.interval == 0 || layout.height == 0 || width == 0)
        return std::nullopt;

    // The scan: stuffed bytes (FF 00), restart markers in sequence, then EOI and nothing else.
    const std::uint8_t* data = file.data();
    std::size_t position = layout.entropyStart;
    for (;;) {
        const void* found = std::memchr(data + position, 0xFF, file.size() - position);
        if (found == nullptr)
            return std::nullopt;
        position = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data);
        if (position + 1 >= file.size())
            return std::nullopt;
        const std::uint8_t next = file[position + 1];
        if (next == 0x00 || next == 0xFF) {
            position += 1;
        } else if (next >= 0xD0 && next <= 0xD7) {
            if (next != 0xD0 + layout.restarts.size() % 8)
                return std::nullopt;
            layout.restarts.push_back(position);
            position += 2;
        } else if (next == 0xD9) {
            layout.entropyEnd = position;
            break;
        } else {
            return std::nullopt;
        }
    }
    const unsigned mcuWidth = 8 * maxH;
    layout.mcuHeight = 8 * maxV;
    layout.mcusPerRow = (width + mcuWidth - 1) / mcuWidth;
    layout.mcuRows = (layout.height + layout.mcuHeight - 1) / layout.mcuHeight;
    const std::uint64_t mcus = std::uint64_t{layout.mcusPerRow} * layout.mcuRows;
    const std::uint64_t intervals = (mcus + layout.interval - 1) / layout.interval;
    if (layout.restarts.size() + 1 != intervals)
        return std::nullopt;
    return layout;
}

struct Band {
    std::size_t firstInterval = 0;
    std::size_t endInterval = 0; // exclusive
    unsigned firstRow = 0;       // in MCU rows
};

// Up to `count` bands of about equal height. A band starts where a restart interval starts an
// MCU row and its number is a multiple of 8, so the markers inside it are numbered from 0 as in a
// file of its own.
std::vector<Band> planBands(const Layout& layout, unsigned count) {
    const std::size_t intervals = layout.restarts.size() + 1;
    // Interval j starts a row when j × interval is a multiple of the row length.
    const std::uint64_t rowStep = layout.mcusPerRow / std::gcd(layout.interval, layout.mcusPerRow);
    const std::uint64_t step = std::lcm(rowStep, std::uint64_t{8});
    std::vector<Band> bands{Band{0, intervals, 0}};
    for (unsigned k = 1; k < count; ++k) {
        const std::uint64_t targetRow = std::uint64_t{layout.mcuRows} * k / count;
        std::uint64_t j = (targetRow * layout.mcusPerRow + layout.interval - 1) / layout.interval;
        j = (j + step - 1) / step * step;
        if (j <= bands.back().firstInterval || j >= intervals)
            continue;
        bands.back().endInterval = j;
        bands.push_back(
            Band{j, intervals, static_cast<unsigned>(j * layout.interval / layout.mcusPerRow)});
    }
    return bands;
}

// The pieces of one band's stream: the headers with the band's height, its restart intervals as
// they lie in the file, and EOI.
struct BandStream {
    Bytes header;
    std::array<Piece, 3> pieces;
};

void makeBandStream(Piece file, const Layout& layout, const Band& band, bool last,
                    BandStream& stream) {
    static const std::uint8_t kEnd[2] = {0xFF, 0xD9};
    stream.header = layout.header;
    const unsigned pixelTop = band.firstRow * layout.mcuHeight;
    const unsigned height =
        last ? layout.height - pixelTop
             : static_cast<unsigned>(band.endInterval * layout.interval / layout.mcusPerRow) *
                       layout.mcuHeight -
                   pixelTop;
    stream.header[layout.heightAt] = static_cast<std::uint8_t>(height >> 8);
    stream.header[layout.heightAt + 1] = static_cast<std::uint8_t>(height & 0xFF);
    const std::size_t start =
        band.firstInterval == 0 ? layout.entropyStart : layout.restarts[band.firstInterval - 1] + 2;
    const std::size_t end = band.endInterval > layout.restarts.size()
                                ? layout.entropyEnd
                                : layout.restarts[band.endInterval - 1];
    stream.pieces = {Piece(stream.header), file.subspan(start, end - start), Piece(kEnd)};
}

[[noreturn]] void fail(const Decoder& decoder) {
    throw PlatformError(std::string("JPEG: ") + decoder.message);
}

} // namespace

void verifyJpegFile(const std::filesystem::path& file) {
    const MappedFile mapped(file);
    if (!mapped.readable())
        throw PlatformError("cannot read " + file.filename().string());
    const Piece bytes = mapped.bytes();
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
    const auto layout = threads > 1 ? bandLayout(bytes) : std::nullopt;
    const std::vector<Band> bands = layout ? planBands(*layout, threads) : std::vector<Band>{};
    if (bands.size() < 2) {
        auto decoder = std::make_unique<Decoder>();
        if (!decodeStream({bytes, Piece{}, Piece{}}, *decoder))
            fail(*decoder);
        return;
    }
    std::vector<BandStream> streams(bands.size());
    for (std::size_t i = 0; i < bands.size(); ++i)
        makeBandStream(bytes, *layout, bands[i], i + 1 == bands.size(), streams[i]);
    std::vector<std::unique_ptr<Decoder>> decoders;
    std::vector<char> passed(bands.size(), 0);
    for (std::size_t i = 0; i < bands.size(); ++i)
        decoders.push_back(std::make_unique<Decoder>());
    {
        std::vector<std::jthread> helpers;
        for (std::size_t i = 1; i < bands.size(); ++i)
            helpers.emplace_back(
                [&, i] { passed[i] = decodeStream(streams[i].pieces, *decoders[i]); });
        passed[0] = decodeStream(streams[0].pieces, *decoders[0]);
    }
    for (std::size_t i = 0; i < bands.size(); ++i)
        if (passed[i] == 0)
            fail(*decoders[i]);
}

} // namespace kv::image
