// Reading a file's container and tracks, and the picture type handed between the av/ classes.
#include "av/pipeline.h"

namespace kv::av {

const char* muxerName(Container container) {
    switch (container) {
    case Container::mp4: return "mp4";
    case Container::mov: return "mov";
    case Container::m4v: return "ipod"; // the "m4v" muxer writes a raw MPEG-4 Part 2 stream
    case Container::m4a: return "ipod";
    case Container::adts: return "adts";
    case Container::wav: return "wav";
    case Container::aiff: return "aiff";
    case Container::flac: return "flac";
    }
    return "mp4";
}

using namespace platform::ffmpeg;

namespace {

// Whether the stream's first frame decodes (a few packets in, for decoders that hold frames back).
bool firstFrameDecodes(AVFormatContext& input, const AVStream& stream) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (codec == nullptr)
        return false;
    const CodecContext decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream.codecpar) < 0)
        return false;
    decoder->pkt_timebase = stream.time_base;
    decoder->thread_count = 1; // one frame needs no helper threads
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return false;
    const Packet packet = allocPacket();
    const Frame frame = allocFrame();
    constexpr int kMaxPackets = 64;
    for (int sent = 0; sent < kMaxPackets;) {
        const int read = av_read_frame(&input, packet.get());
        if (read < 0)
            break;
        if (packet->stream_index == stream.index) {
            ++sent;
            avcodec_send_packet(decoder.get(),
                                packet.get()); // a damaged packet is not yet a verdict
        }
        av_packet_unref(packet.get());
        if (avcodec_receive_frame(decoder.get(), frame.get()) >= 0)
            return true;
    }
    avcodec_send_packet(decoder.get(), nullptr);
    return avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
}

} // namespace

Asset loadAsset(const std::filesystem::path& file, TryDecoding tryDecoding) {
    const InputContext input = openInput(file, nullptr);
    Asset asset;
    asset.container = input->iformat->name;
    asset.duration = durationSeconds(*input);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream& stream = *input->streams[i];
        const AVCodecParameters& parameters = *stream.codecpar;
        if (parameters.codec_type == AVMEDIA_TYPE_VIDEO &&
            !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            const AVRational rate =
                av_guess_frame_rate(input.get(), const_cast<AVStream*>(&stream), nullptr);
            asset.videoTracks.push_back(VideoTrack{
                .width = parameters.width,
                .height = parameters.height,
                .rotation = displayRotation(stream),
                .frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0,
                .dataRate = parameters.bit_rate,
                .codec = avcodec_get_name(parameters.codec_id),
            });
        } else if (parameters.codec_type == AVMEDIA_TYPE_AUDIO) {
            const int bits = parameters.bits_per_raw_sample > 0 ? parameters.bits_per_raw_sample
                                                                : parameters.bits_per_coded_sample;
            asset.audioTracks.push_back(AudioTrack{
                .sampleRate = parameters.sample_rate,
                .channels = parameters.ch_layout.nb_channels,
                .bitsPerSample = bits,
                .dataRate = parameters.bit_rate,
                .codec = avcodec_get_name(parameters.codec_id),
            });
        }
    }
    const AVMediaType wanted = tryDecoding == TryDecoding::audio   ? AVMEDIA_TYPE_AUDIO
                               : tryDecoding == TryDecoding::video ? AVMEDIA_TYPE_VIDEO
                                                                   : AVMEDIA_TYPE_UNKNOWN;
    for (unsigned i = 0; i < input->nb_streams && wanted != AVMEDIA_TYPE_UNKNOWN; ++i) {
        const AVStream& stream = *input->streams[i];
        if (stream.codecpar->codec_type != wanted ||
            (stream.disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        for (unsigned other = 0; other < input->nb_streams; ++other)
            if (other != i)
                input->streams[other]->discard = AVDISCARD_ALL;
        asset.firstFrameDecodes = firstFrameDecodes(*input, stream);
        break;
    }
    return asset;
}

VideoFrame::VideoFrame(std::unique_ptr<Data> data) : m_data(std::move(data)) {}
VideoFrame::VideoFrame(VideoFrame&&) noexcept = default;
VideoFrame& VideoFrame::operator=(VideoFrame&&) noexcept = default;
VideoFrame::~VideoFrame() = default;
int VideoFrame::width() const {
    return m_data->frame->width;
}
int VideoFrame::height() const {
    return m_data->frame->height;
}

} // namespace kv::av
