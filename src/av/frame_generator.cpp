// Frames taken out of a video at given times, turned upright and scaled.
#include "av/pipeline.h"
#include "platform/platform_error.h"

#include <cmath>
#include <stop_token>
#include <string>

namespace kv::av {
using namespace platform::ffmpeg;
namespace {

// The filters that turn a picture the way a player shows it.
std::string uprightFilter(int rotation) {
    switch (rotation) {
    case 90: return "transpose=clock,";
    case 180: return "hflip,vflip,";
    case 270: return "transpose=cclock,";
    default: return "";
    }
}

} // namespace

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

} // namespace kv::av
