// Animated GIFs from video frames: one palette over all frames, frames mapped in parallel.
#include "av/pipeline.h"
#include "platform/platform_error.h"

#include <atomic>
#include <cmath>
#include <exception>
#include <map>
#include <stop_token>
#include <thread>
#include <vector>

namespace kv::av {
using namespace platform::ffmpeg;
namespace {

constexpr AVRational kGifTimeBase{1, 100}; // GIF delays are centiseconds

} // namespace

//
// One palette is computed over every frame; then the frames are mapped to it in two ranges at once
// (the mapping of a frame depends only on that frame and the palette), and encoded in order.

namespace {

// Maps frames to the palette through a "paletteuse" graph of its own, handing each result on.
class PaletteMapper {
  public:
    PaletteMapper(const AVFrame& first, const AVFrame& palette) {
        const VideoInput frames{first.width, first.height, first.format, kGifTimeBase, {1, 1}};
        const VideoInput colours{
            palette.width, palette.height, palette.format, kGifTimeBase, {1, 1}};
        m_filter = makeVideoFilter(frames, "[in][second]paletteuse[out]", &colours);
        Frame copy(av_frame_clone(&palette));
        if (!copy)
            throw PlatformError("out of memory copying the palette");
        copy->pts = 0; // the palette input holds for every time
        check(filters().addFrame(m_filter.second, copy.get(), 0), "palette input");
        check(filters().addFrame(m_filter.second, nullptr, 0), "palette input");
    }

    template <typename Deliver> void map(Frame frame, Deliver&& deliver) {
        check(filters().addFrame(m_filter.source, frame.get(), AV_BUFFERSRC_FLAG_PUSH),
              "palette use input");
        drain(deliver);
    }

    template <typename Deliver> void finish(Deliver&& deliver) {
        check(filters().addFrame(m_filter.source, nullptr, 0), "palette use flush");
        drain(deliver);
    }

  private:
    template <typename Deliver> void drain(Deliver& deliver) {
        for (;;) {
            Frame out = allocFrame();
            const int result = filters().getFrame(m_filter.sink, out.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return;
            check(result, "palette use output");
            deliver(std::move(out));
        }
    }

    FilterChain m_filter;
};

} // namespace

struct GifWriter::State {
    std::stop_token stop; // before `output`: its I/O callback points here
    std::filesystem::path path;
    OutputContext output;
    CodecContext encoder;
    FilterChain palette;       // palettegen over every frame
    std::vector<Frame> frames; // kept until the palette is known
    Packet packet = allocPacket();
    std::map<std::int64_t, std::int64_t> durations; // pts → duration, both centiseconds
    double clock = 0;
    std::int64_t lastPts = -1;
    int width = 0;
    int height = 0;

    void start(const AVFrame& first) {
        width = first.width;
        height = first.height;
        palette = makeVideoFilter(VideoInput{width, height, first.format, kGifTimeBase, {1, 1}},
                                  "palettegen=stats_mode=full");
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_GIF);
        if (codec == nullptr)
            throw PlatformError("No GIF encoder available");
        output = createOutput(path, "gif", &stop);
        encoder.reset(avcodec_alloc_context3(codec));
        if (!encoder)
            throw PlatformError("out of memory opening the GIF encoder");
        encoder->width = width;
        encoder->height = height;
        encoder->pix_fmt = AV_PIX_FMT_PAL8;
        encoder->time_base = kGifTimeBase;
        check(avcodec_open2(encoder.get(), codec, nullptr), "Cannot open the GIF encoder");
        AVStream* stream = avformat_new_stream(output.get(), nullptr);
        if (stream == nullptr)
            throw PlatformError("out of memory adding a stream");
        check(avcodec_parameters_from_context(stream->codecpar, encoder.get()),
              "stream parameters");
        stream->time_base = kGifTimeBase;
        Dictionary options = makeDictionary({{"loop", "0"}}); // loop forever
        openOutputFile(*output, path, &options);
    }

    Frame computePalette() {
        check(filters().addFrame(palette.source, nullptr, 0), "palette flush");
        Frame colours = allocFrame();
        check(filters().getFrame(palette.sink, colours.get()), "palette");
        return colours;
    }

    void encode(const AVFrame* frame) {
        if (stop.stop_requested())
            throwCancelled();
        check(avcodec_send_frame(encoder.get(), frame), "Cannot encode the GIF");
        int result = 0;
        while ((result = avcodec_receive_packet(encoder.get(), packet.get())) >= 0) {
            const auto found = durations.find(packet->pts);
            if (found != durations.end())
                packet->duration = found->second;
            av_packet_rescale_ts(packet.get(), encoder->time_base, output->streams[0]->time_base);
            packet->stream_index = 0;
            const int written = av_interleaved_write_frame(output.get(), packet.get());
            if (stop.stop_requested())
                throwCancelled();
            check(written, "Cannot write the GIF");
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
            check(result, "Cannot encode the GIF");
    }

    // Maps frames [begin, end) and encodes each as it comes out.
    void mapAndEncode(const AVFrame& colours, std::size_t begin, std::size_t end,
                      std::stop_token abandon = {}) {
        PaletteMapper mapper(*frames[begin], colours);
        const auto send = [&](Frame out) { encode(out.get()); };
        for (std::size_t i = begin; i < end; ++i) {
            if (abandon.stop_requested())
                return;
            mapper.map(std::move(frames[i]), send);
        }
        mapper.finish(send);
    }

    // A helper thread maps and encodes the first part while this one maps the rest, which it
    // encodes once the helper is done: the GIF stays in frame order.
    void mapAndEncode(const AVFrame& colours) {
        constexpr std::size_t kParallelFrom = 16; // below this a thread costs more than it saves
        const std::size_t count = frames.size();
        if (count < kParallelFrom || std::thread::hardware_concurrency() < 2) {
            mapAndEncode(colours, 0, count);
            return;
        }
        // Mapping costs about four times the encoding: the helper's share is a little under half.
        const std::size_t split = count * 9 / 20;
        std::exception_ptr failure;
        std::atomic<bool> helperFailed{false};
        // Leaving this scope early (a failure or a stop here) asks the helper to stop, then joins
        // it.
        std::jthread helper([&](std::stop_token abandon) {
            try {
                mapAndEncode(colours, 0, split, abandon);
            } catch (...) {
                failure = std::current_exception();
                helperFailed.store(true); // this thread's part is lost: stop mapping the rest
            }
        });

        std::vector<Frame> mapped; // the second part, in order
        mapped.reserve(count - split);
        PaletteMapper mapper(*frames[split], colours);
        const auto keep = [&](Frame out) { mapped.push_back(std::move(out)); };
        for (std::size_t i = split; i < count && !helperFailed.load(); ++i) {
            if (stop.stop_requested())
                throwCancelled();
            mapper.map(std::move(frames[i]), keep);
        }
        helper.join();
        if (failure)
            std::rethrow_exception(failure);
        mapper.finish(keep);
        for (Frame& out : mapped) {
            encode(out.get());
            out.reset();
        }
    }
};

GifWriter::GifWriter(const std::filesystem::path& output, std::stop_token stop)
    : m_state(std::make_unique<State>()) {
    m_state->stop = std::move(stop);
    m_state->path = output;
}

GifWriter::~GifWriter() = default;

void GifWriter::addFrame(const VideoFrame& frame, double delaySeconds) {
    State& s = *m_state;
    if (s.stop.stop_requested())
        throwCancelled();
    const AVFrame& source = *frame.data().frame;
    if (s.frames.empty())
        s.start(source);
    if (source.width != s.width || source.height != s.height)
        throw PlatformError("GIF frames differ in size");
    // Times are kept exact and rounded once, so rounded delays never drift from the clip.
    std::int64_t pts = std::llround(s.clock * 100);
    if (pts <= s.lastPts)
        pts = s.lastPts + 1;
    s.clock += delaySeconds;
    const std::int64_t end = std::max<std::int64_t>(pts + 1, std::llround(s.clock * 100));
    s.durations[pts] = end - pts;
    s.lastPts = pts;
    Frame copy(av_frame_clone(&source));
    if (!copy)
        throw PlatformError("out of memory copying a frame");
    copy->pts = pts;
    // The palette graph takes its own reference; ours waits for the mapping.
    check(filters().addFrame(s.palette.source, copy.get(),
                             AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH),
          "palette filter input");
    s.frames.push_back(std::move(copy));
}

void GifWriter::finish() {
    State& s = *m_state;
    if (s.frames.empty())
        throw PlatformError("No frames to write");
    const Frame colours = s.computePalette();
    s.mapAndEncode(*colours);
    s.encode(nullptr);
    finishOutput(*s.output);
}

} // namespace kv::av
