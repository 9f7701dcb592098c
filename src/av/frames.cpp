// Exact-time frame grabs, GIF frames in and out, and an H.264 writer fed with timed frames.
#include "av/pipeline.h"
#include "platform/platform_error.h"

#include <atomic>
#include <cmath>
#include <exception>
#include <map>
#include <stop_token>
#include <thread>
#include <vector>

namespace kv::platform::media {
using namespace detail;
namespace {

VideoFrame wrap(const AVFrame& frame) {
    auto data = std::make_unique<VideoFrame::Data>();
    data->frame.reset(av_frame_clone(&frame));
    if (!data->frame)
        throw PlatformError("out of memory copying a frame");
    return VideoFrame(std::move(data));
}

// The filters that turn a picture the way a player shows it.
std::string uprightFilter(int rotation) {
    switch (rotation) {
    case 90: return "transpose=clock,";
    case 180: return "hflip,vflip,";
    case 270: return "transpose=cclock,";
    default: return "";
    }
}

constexpr AVRational kGifTimeBase{1, 100}; // GIF delays are centiseconds
constexpr AVRational kWriterTimeBase{1, 600};

} // namespace

// ---- FrameGenerator ----

struct FrameGenerator::State {
    std::stop_token stop; // before `input`: its I/O callback points here
    InputContext input;
    const AVStream* stream = nullptr;
    CodecContext decoder;
    FilterChain filter;
    Packet packet = allocPacket();
    Frame current;        // decoded, on screen at the last requested time
    Frame pending;        // decoded, the next one
    Frame currentUpright; // `current` through the filter, made when first asked for
    double currentTime = 0;
    double pendingTime = 0;
    double start = 0;
    bool inputDone = false;
    bool decoderDone = false;

    double secondsOf(const AVFrame& frame) const {
        const std::int64_t pts =
            frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
        if (pts == AV_NOPTS_VALUE)
            return currentTime;
        return static_cast<double>(pts) * av_q2d(stream->time_base) - start;
    }

    // The next decoded picture, or none at the end of the stream.
    Frame nextDecoded() {
        Frame frame = allocFrame();
        for (;;) {
            const int result = avcodec_receive_frame(decoder.get(), frame.get());
            if (result >= 0)
                return frame;
            if (result == AVERROR_EOF)
                return nullptr;
            if (result != AVERROR(EAGAIN) && result != AVERROR_INVALIDDATA)
                check(result, "Cannot decode the video");
            if (inputDone) {
                if (decoderDone)
                    return nullptr;
                avcodec_send_packet(decoder.get(), nullptr);
                decoderDone = true;
                continue;
            }
            if (stop.stop_requested())
                throwCancelled();
            const int read = av_read_frame(input.get(), packet.get());
            if (stop.stop_requested())
                throwCancelled();
            if (read == AVERROR_EOF) {
                inputDone = true;
                continue;
            }
            check(read, "Cannot read the video");
            if (packet->stream_index == stream->index) {
                const int sent = avcodec_send_packet(decoder.get(), packet.get());
                if (sent < 0 && sent != AVERROR_INVALIDDATA && sent != AVERROR(EAGAIN))
                    check(sent, "Cannot decode the video");
            }
            av_packet_unref(packet.get());
        }
    }

    // Turns and scales only the pictures that are used (the filters give one picture for one).
    const AVFrame& upright() {
        if (!currentUpright) {
            Frame copy(av_frame_clone(current.get()));
            if (!copy)
                throw PlatformError("out of memory copying a frame");
            copy->pts = copy->best_effort_timestamp;
            check(filters().addFrame(filter.source, copy.get(), 0), "filter input");
            Frame result = allocFrame();
            check(filters().getFrame(filter.sink, result.get()), "filter output");
            currentUpright = std::move(result);
        }
        return *currentUpright;
    }
};

FrameGenerator::FrameGenerator(const std::filesystem::path& source, int maxWidth,
                               std::stop_token stop)
    : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.stop = std::move(stop);
    s.input = openInput(source, &s.stop);
    for (unsigned i = 0; i < s.input->nb_streams && s.stream == nullptr; ++i) {
        const AVStream* stream = s.input->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            s.stream = stream;
    }
    if (s.stream == nullptr)
        throw PlatformError("No video track in " + source.filename().string());
    for (unsigned i = 0; i < s.input->nb_streams; ++i)
        if (s.input->streams[i] != s.stream)
            s.input->streams[i]->discard = AVDISCARD_ALL;
    s.start = s.input->start_time != AV_NOPTS_VALUE
                  ? static_cast<double>(s.input->start_time) / AV_TIME_BASE
                  : 0;
    s.decoder = openDecoder(*s.stream);
    const std::string width = maxWidth > 0 ? "min(iw\\," + std::to_string(maxWidth) + ")" : "iw";
    s.filter = makeVideoFilter(*s.decoder, s.stream->time_base,
                               uprightFilter(displayRotation(*s.stream)) + "scale=w='" + width +
                                   "':h=-1:flags=bicubic,format=bgra");
}

FrameGenerator::~FrameGenerator() = default;

std::optional<VideoFrame> FrameGenerator::frameAt(double seconds) {
    State& s = *m_state;
    constexpr double kTolerance = 1e-6; // a frame stamped at t counts at t despite rounding
    for (;;) {
        if (!s.pending) {
            s.pending = s.nextDecoded();
            if (!s.pending)
                break;
            s.pendingTime = s.secondsOf(*s.pending);
        }
        if (s.current && s.pendingTime > seconds + kTolerance)
            break;
        s.current = std::move(s.pending);
        s.currentTime = s.pendingTime;
        s.currentUpright.reset();
    }
    if (!s.current)
        return std::nullopt;
    return wrap(s.upright());
}

// ---- GifWriter ----
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

// ---- GifReader ----

struct GifReader::State {
    InputContext input;
    CodecContext decoder;
    std::vector<Packet> packets;
    std::vector<double> delays;
    std::size_t next = 0;
    Frame frame = allocFrame();
    bool endsEarly = false;
};

GifReader::GifReader(const std::filesystem::path& source) : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    Dictionary options = makeDictionary({
        {"min_delay", "1"},      // keep every positive delay as the file states it
        {"default_delay", "10"}, // no delay stated: 0.1 s
    });
    s.input = openInput(source, nullptr, "gif", &options);
    if (s.input->nb_streams < 1)
        throw PlatformError("No image stream in " + source.filename().string());
    const AVStream& stream = *s.input->streams[0];
    s.decoder = openDecoder(stream);
    for (;;) {
        Packet packet = allocPacket();
        const int read = av_read_frame(s.input.get(), packet.get());
        if (read == AVERROR_EOF)
            break;
        if (read < 0) { // a damaged tail ends the animation; the frames before it stand
            s.endsEarly = true;
            break;
        }
        if (packet->stream_index != 0)
            continue;
        const double delay = static_cast<double>(packet->duration) * av_q2d(stream.time_base);
        s.delays.push_back(delay > 0 ? delay : 0.1);
        s.packets.push_back(std::move(packet));
    }
}

GifReader::~GifReader() = default;

int GifReader::frameCount() const {
    return static_cast<int>(m_state->packets.size());
}

bool GifReader::endsEarly() const {
    return m_state->endsEarly;
}

double GifReader::delay(int index) const {
    const auto at = static_cast<std::size_t>(index);
    return at < m_state->delays.size() ? m_state->delays[at] : 0.1;
}

std::optional<VideoFrame> GifReader::decodeNext() {
    State& s = *m_state;
    if (s.next >= s.packets.size())
        return std::nullopt;
    const AVPacket& packet = *s.packets[s.next++];
    if (avcodec_send_packet(s.decoder.get(), &packet) < 0)
        return std::nullopt;
    if (avcodec_receive_frame(s.decoder.get(), s.frame.get()) < 0)
        return std::nullopt;
    VideoFrame result = wrap(*s.frame);
    av_frame_unref(s.frame.get());
    return result;
}

// ---- H264Writer ----

struct H264Writer::State {
    std::stop_token stop; // before `output`: its I/O callback points here
    OutputContext output;
    CodecContext encoder;
    SwsContext* scaler = nullptr;
    SwsContextHandle scalerOwner;
    Frame picture = allocFrame();
    Packet packet = allocPacket();
    std::map<std::int64_t, std::int64_t> durations;
    std::int64_t lastPts = -1;

    void drain() {
        int result = 0;
        while ((result = avcodec_receive_packet(encoder.get(), packet.get())) >= 0) {
            const auto found = durations.find(packet->pts);
            if (found != durations.end()) {
                packet->duration = found->second;
                durations.erase(found);
            }
            av_packet_rescale_ts(packet.get(), encoder->time_base, output->streams[0]->time_base);
            packet->stream_index = 0;
            const int written = av_interleaved_write_frame(output.get(), packet.get());
            if (stop.stop_requested())
                throwCancelled();
            check(written, "Cannot write the video");
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
            check(result, "Cannot encode the video");
    }
};

H264Writer::H264Writer(const std::filesystem::path& output, Container container, int width,
                       int height, std::stop_token stop)
    : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.stop = std::move(stop);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr)
        throw PlatformError("No H.264 encoder (libx264) available");
    s.output = createOutput(output, muxerName(container), &s.stop);
    s.encoder.reset(avcodec_alloc_context3(codec));
    if (!s.encoder)
        throw PlatformError("out of memory opening the H.264 encoder");
    AVCodecContext& encoder = *s.encoder;
    encoder.width = width;
    encoder.height = height;
    encoder.pix_fmt = AV_PIX_FMT_YUV420P;
    encoder.time_base = kWriterTimeBase;
    encoder.framerate = AVRational{10, 1}; // a rate-control hint; the frames carry their own times
    encoder.thread_count = 0;
    if (s.output->oformat->flags & AVFMT_GLOBALHEADER)
        encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder.priv_data, "preset", "veryfast", 0);
    av_opt_set(encoder.priv_data, "crf", "18", 0);
    check(avcodec_open2(&encoder, codec, nullptr), "Cannot open the H.264 encoder");
    AVStream* stream = avformat_new_stream(s.output.get(), nullptr);
    if (stream == nullptr)
        throw PlatformError("out of memory adding a stream");
    check(avcodec_parameters_from_context(stream->codecpar, &encoder), "stream parameters");
    stream->time_base = kWriterTimeBase;
    openOutputFile(*s.output, output);
    s.picture->format = AV_PIX_FMT_YUV420P;
    s.picture->width = width;
    s.picture->height = height;
    check(av_frame_get_buffer(s.picture.get(), 0), "frame buffer");
}

H264Writer::~H264Writer() = default;

void H264Writer::append(const VideoFrame& frame, double seconds, double durationSeconds) {
    State& s = *m_state;
    if (s.stop.stop_requested())
        throwCancelled();
    const AVFrame& source = *frame.data().frame;
    s.scaler = sws_getCachedContext(s.scaler, source.width, source.height,
                                    static_cast<AVPixelFormat>(source.format), s.encoder->width,
                                    s.encoder->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr,
                                    nullptr, nullptr);
    if (s.scaler == nullptr)
        throw PlatformError("Cannot convert the frame for H.264");
    if (s.scalerOwner.get() != s.scaler) {
        (void)s.scalerOwner.release(); // sws_getCachedContext freed the old one
        s.scalerOwner.reset(s.scaler);
    }
    check(av_frame_make_writable(s.picture.get()), "frame buffer");
    sws_scale(s.scaler, source.data, source.linesize, 0, source.height, s.picture->data,
              s.picture->linesize);
    std::int64_t pts = std::llround(seconds * 600);
    if (pts <= s.lastPts)
        pts = s.lastPts + 1;
    s.lastPts = pts;
    s.durations[pts] = std::max<std::int64_t>(1, std::llround(durationSeconds * 600));
    s.picture->pts = pts;
    check(avcodec_send_frame(s.encoder.get(), s.picture.get()), "Cannot encode the video");
    s.drain();
}

void H264Writer::finish() {
    State& s = *m_state;
    check(avcodec_send_frame(s.encoder.get(), nullptr), "Cannot encode the video");
    s.drain();
    finishOutput(*s.output);
}

} // namespace kv::platform::media
