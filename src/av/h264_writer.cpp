// H.264 video from frames, in an MP4, MOV or M4V container.
#include "av/pipeline.h"
#include "platform/platform_error.h"

#include <cmath>
#include <map>

namespace kv::av {
using namespace platform::ffmpeg;
namespace {

constexpr AVRational kWriterTimeBase{1, 600};

} // namespace

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

} // namespace kv::av
