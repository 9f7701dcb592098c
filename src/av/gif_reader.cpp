// Animated GIFs read frame by frame, with each frame's delay.
#include "av/pipeline.h"
#include "platform/platform_error.h"

#include <optional>

namespace kv::av {
using namespace platform::ffmpeg;

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

} // namespace kv::av
