// Run-time probe of the audio writers: each encoder and muxer writes a real header and trailer,
// into memory, so no file is ever created for it.
#include "av/audio_writers.h"

#include "platform/ffmpeg/ffmpeg_support.h"

#include <cstring>
#include <vector>

namespace kv::av {
namespace {

using namespace platform::ffmpeg;

// A seekable in-memory file: the MPEG-4 muxer goes back to patch sizes at the trailer.
class MemoryFile {
  public:
    MemoryFile() {
        constexpr int kBufferSize = 4096;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
        if (buffer == nullptr)
            return;
        m_context = avio_alloc_context(buffer, kBufferSize, 1, this, nullptr, &MemoryFile::write,
                                       &MemoryFile::seek);
        if (m_context == nullptr)
            av_free(buffer);
    }
    ~MemoryFile() {
        if (m_context != nullptr)
            av_freep(&m_context->buffer);
        avio_context_free(&m_context);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    AVIOContext* context() const { return m_context; }
    std::size_t size() const { return m_bytes.size(); }

  private:
    static int write(void* opaque, std::uint8_t* data, int size) { // FFmpeg 5 passes non-const
        auto& file = *static_cast<MemoryFile*>(opaque);
        if (size <= 0)
            return 0;
        const std::size_t end = file.m_position + static_cast<std::size_t>(size);
        if (end > file.m_bytes.size())
            file.m_bytes.resize(end);
        std::memcpy(file.m_bytes.data() + file.m_position, data, static_cast<std::size_t>(size));
        file.m_position = end;
        return size;
    }
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto& file = *static_cast<MemoryFile*>(opaque);
        const auto length = static_cast<std::int64_t>(file.m_bytes.size());
        if (whence & AVSEEK_SIZE)
            return length;
        std::int64_t target = offset;
        switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET: break;
        case SEEK_CUR: target += static_cast<std::int64_t>(file.m_position); break;
        case SEEK_END: target += length; break;
        default: return AVERROR(EINVAL);
        }
        if (target < 0)
            return AVERROR(EINVAL);
        file.m_position = static_cast<std::size_t>(target);
        return target;
    }

    AVIOContext* m_context = nullptr;
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_position = 0;
};

// Opens the encoder at 44.1 kHz stereo and has the muxer write a header and a trailer for it.
bool canWriteAudio(AVCodecID codecId, const char* muxer) {
    const AVCodec* codec = avcodec_find_encoder(codecId);
    const AVOutputFormat* format = av_guess_format(muxer, nullptr, nullptr);
    if (codec == nullptr || format == nullptr)
        return false;

    AVFormatContext* rawOutput = nullptr;
    if (avformat_alloc_output_context2(&rawOutput, format, nullptr, nullptr) < 0)
        return false;
    const OutputContext output(rawOutput);
    MemoryFile file;
    const CodecContext encoder(avcodec_alloc_context3(codec));
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    if (stream == nullptr || !encoder || file.context() == nullptr)
        return false;
    encoder->sample_rate = 44100;
    av_channel_layout_default(&encoder->ch_layout, 2);
    encoder->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    encoder->time_base = AVRational{1, 44100};
    if (codecId == AV_CODEC_ID_AAC)
        encoder->bit_rate = 256000;
    if (output->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0 ||
        avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0)
        return false;
    output->pb = file.context();
    output->flags |=
        AVFMT_FLAG_CUSTOM_IO; // the context is ours: freeing the output leaves it alone
    bool written =
        avformat_write_header(output.get(), nullptr) >= 0 && av_write_trailer(output.get()) >= 0;
    avio_flush(file.context());
    written = written && file.size() > 0;
    output->pb = nullptr;
    return written;
}

} // namespace

std::vector<std::uint32_t> probeAudioWriters() {
    constexpr auto code = [](const char(&c)[5]) {
        return (static_cast<std::uint32_t>(static_cast<unsigned char>(c[0])) << 24) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(c[1])) << 16) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(c[2])) << 8) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(c[3]));
    };
    struct Candidate {
        std::uint32_t code;
        AVCodecID codec;
        const char* muxer;
    };
    const Candidate candidates[] = {
        {code("flac"), AV_CODEC_ID_FLAC, "flac"},
        {code("aac "), AV_CODEC_ID_AAC, "ipod"},
        {code("alac"), AV_CODEC_ID_ALAC, "ipod"},
        {code("lpcm"), AV_CODEC_ID_PCM_S16LE, "wav"},
    };
    av_log_set_level(AV_LOG_ERROR);
    std::vector<std::uint32_t> found;
    for (const auto& c : candidates)
        if (canWriteAudio(c.codec, c.muxer))
            found.push_back(c.code);
    return found;
}

} // namespace kv::av
