// Media seeds: short clips of generated frames and sound, encoded and muxed with FFmpeg.
#include "av/media_service.h"
#include "platform/ffmpeg/ffmpeg_support.h"
#include "selftest/media_seeds.h"

#include <array>
#include <cmath>
#include <numbers>
#include <stop_token>
#include <string>

namespace kv::SeedFiles {
namespace {

using namespace platform::ffmpeg;

constexpr int kWidth = 96;
constexpr int kHeight = 64;
constexpr int kFramesPerSecond = 12;
constexpr double kSeconds = 1.0;

struct Recipe {
    const char* muxer;
    const char* videoEncoder; // nullptr: no picture
    AVPixelFormat pixelFormat;
    const char* audioEncoder;
    int sampleRate;
    bool silent; // the MP4 seed carries a silent track; the others a tone
};

Recipe recipeFor(SupportedFormat format) {
    switch (format) {
    case SupportedFormat::mp4: return {"mp4", "libx264", AV_PIX_FMT_YUV420P, "aac", 44100, true};
    case SupportedFormat::avi:
        return {"avi", "mpeg4", AV_PIX_FMT_YUV420P, "libmp3lame", 44100, false};
    case SupportedFormat::webm:
        return {"webm", "libvpx", AV_PIX_FMT_YUV420P, "libopus", 48000, false};
    case SupportedFormat::mp3: return {"mp3", nullptr, AV_PIX_FMT_NONE, "libmp3lame", 44100, false};
    default: throw PlatformError("no media seed for " + std::string(rawValue(format)));
    }
}

const AVCodec* encoderNamed(const char* name) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr)
        throw PlatformError(std::string("No encoder ") + name);
    return codec;
}

// Sends one frame (or the flush, for nullptr) and writes every packet that comes out.
void encode(AVCodecContext& codec, const AVFrame* frame, AVStream& stream,
            AVFormatContext& output) {
    check(avcodec_send_frame(&codec, frame), "encode");
    auto packet = allocPacket();
    while (true) {
        const int received = avcodec_receive_packet(&codec, packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        check(received, "encode");
        av_packet_rescale_ts(packet.get(), codec.time_base, stream.time_base);
        packet->stream_index = stream.index;
        check(av_interleaved_write_frame(&output, packet.get()), "write");
    }
}

// A colour of the given hue at saturation 0.8 and full brightness, as BT.601 Y, Cb, Cr.
std::array<std::uint8_t, 3> hueYCbCr(double hue) {
    const double h = std::fmod(hue, 1.0) * 6.0;
    const double chroma = 0.8;
    const double x = chroma * (1 - std::fabs(std::fmod(h, 2.0) - 1));
    const double m = 1.0 - chroma;
    std::array<double, 3> rgb{};
    const int sector = static_cast<int>(h);
    const std::array<std::array<double, 3>, 6> sectors{{{chroma, x, 0},
                                                        {x, chroma, 0},
                                                        {0, chroma, x},
                                                        {0, x, chroma},
                                                        {x, 0, chroma},
                                                        {chroma, 0, x}}};
    for (int i = 0; i < 3; ++i)
        rgb[static_cast<std::size_t>(i)] =
            (sectors[static_cast<std::size_t>(sector % 6)][static_cast<std::size_t>(i)] + m) * 255;
    const double y = 16 + 0.257 * rgb[0] + 0.504 * rgb[1] + 0.098 * rgb[2];
    const double cb = 128 - 0.148 * rgb[0] - 0.291 * rgb[1] + 0.439 * rgb[2];
    const double cr = 128 + 0.439 * rgb[0] - 0.368 * rgb[1] - 0.071 * rgb[2];
    return {static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(cb),
            static_cast<std::uint8_t>(cr)};
}

void writeVideo(AVCodecContext& codec, AVStream& stream, AVFormatContext& output) {
    auto frame = allocFrame();
    frame->format = codec.pix_fmt;
    frame->width = codec.width;
    frame->height = codec.height;
    check(av_frame_get_buffer(frame.get(), 0), "video frame");
    const int count = static_cast<int>(kSeconds * kFramesPerSecond);
    for (int i = 0; i < count; ++i) {
        check(av_frame_make_writable(frame.get()), "video frame");
        const auto [y, cb, cr] = hueYCbCr(static_cast<double>(i) / count);
        for (int row = 0; row < codec.height; ++row)
            std::fill_n(frame->data[0] + row * frame->linesize[0], codec.width, y);
        for (int row = 0; row < codec.height / 2; ++row) {
            std::fill_n(frame->data[1] + row * frame->linesize[1], codec.width / 2, cb);
            std::fill_n(frame->data[2] + row * frame->linesize[2], codec.width / 2, cr);
        }
        frame->pts = i;
        encode(codec, frame.get(), stream, output);
    }
    encode(codec, nullptr, stream, output);
}

// Writes `value` as sample `index` of channel `channel` in the codec's sample format.
void putSample(AVFrame& frame, AVSampleFormat format, int channel, int index, double value) {
    const int channels = frame.ch_layout.nb_channels;
    switch (format) {
    case AV_SAMPLE_FMT_FLTP:
        reinterpret_cast<float*>(frame.data[channel])[index] = static_cast<float>(value);
        break;
    case AV_SAMPLE_FMT_FLT:
        reinterpret_cast<float*>(frame.data[0])[index * channels + channel] =
            static_cast<float>(value);
        break;
    case AV_SAMPLE_FMT_S16P:
        reinterpret_cast<std::int16_t*>(frame.data[channel])[index] =
            static_cast<std::int16_t>(value * 32767);
        break;
    case AV_SAMPLE_FMT_S16:
        reinterpret_cast<std::int16_t*>(frame.data[0])[index * channels + channel] =
            static_cast<std::int16_t>(value * 32767);
        break;
    default: throw PlatformError("unexpected sample format");
    }
}

// The first of the encoder's sample formats that `putSample` writes.
AVSampleFormat sampleFormatFor(const AVCodec& codec) {
    if (codec.sample_fmts == nullptr)
        return AV_SAMPLE_FMT_FLTP;
    for (const AVSampleFormat* f = codec.sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == AV_SAMPLE_FMT_FLTP || *f == AV_SAMPLE_FMT_FLT || *f == AV_SAMPLE_FMT_S16P ||
            *f == AV_SAMPLE_FMT_S16)
            return *f;
    throw PlatformError(std::string("no usable sample format for ") + codec.name);
}

void writeAudio(AVCodecContext& codec, AVStream& stream, AVFormatContext& output, bool silent) {
    const int perFrame = codec.frame_size > 0 ? codec.frame_size : 1024;
    const int total = static_cast<int>(kSeconds * codec.sample_rate);
    auto frame = allocFrame();
    frame->format = codec.sample_fmt;
    frame->nb_samples = perFrame;
    frame->sample_rate = codec.sample_rate;
    check(av_channel_layout_copy(&frame->ch_layout, &codec.ch_layout), "audio frame");
    check(av_frame_get_buffer(frame.get(), 0), "audio frame");
    for (int start = 0; start < total; start += perFrame) {
        check(av_frame_make_writable(frame.get()), "audio frame");
        for (int i = 0; i < perFrame; ++i) {
            const double t = static_cast<double>(start + i) / codec.sample_rate;
            const double value = silent ? 0.0 : 0.5 * std::sin(2 * std::numbers::pi * 440 * t);
            for (int c = 0; c < codec.ch_layout.nb_channels; ++c)
                putSample(*frame, codec.sample_fmt, c, i, value);
        }
        frame->pts = start;
        encode(codec, frame.get(), stream, output);
    }
    encode(codec, nullptr, stream, output);
}

} // namespace

void writeSeedMedia(SupportedFormat format, const std::filesystem::path& file) {
    const Recipe recipe = recipeFor(format);
    const std::stop_token stop;
    auto output = createOutput(file, recipe.muxer, &stop);
    const bool globalHeader = (output->oformat->flags & AVFMT_GLOBALHEADER) != 0;

    CodecContext video;
    AVStream* videoStream = nullptr;
    if (recipe.videoEncoder != nullptr) {
        const AVCodec* codec = encoderNamed(recipe.videoEncoder);
        video.reset(avcodec_alloc_context3(codec));
        video->width = kWidth;
        video->height = kHeight;
        video->pix_fmt = recipe.pixelFormat;
        video->time_base = {1, kFramesPerSecond};
        video->framerate = {kFramesPerSecond, 1};
        video->gop_size = kFramesPerSecond;
        video->bit_rate = 400000;
        if (globalHeader)
            video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        check(avcodec_open2(video.get(), codec, nullptr), std::string("open ") + codec->name);
        videoStream = avformat_new_stream(output.get(), nullptr);
        check(avcodec_parameters_from_context(videoStream->codecpar, video.get()), "video stream");
        videoStream->time_base = video->time_base;
    }

    const AVCodec* audioCodec = encoderNamed(recipe.audioEncoder);
    CodecContext audio(avcodec_alloc_context3(audioCodec));
    audio->sample_rate = recipe.sampleRate;
    audio->sample_fmt = sampleFormatFor(*audioCodec);
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    check(av_channel_layout_copy(&audio->ch_layout, videoStream != nullptr ? &stereo : &mono),
          "audio layout");
    audio->bit_rate = 96000;
    audio->time_base = {1, recipe.sampleRate};
    if (globalHeader)
        audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(audio.get(), audioCodec, nullptr), std::string("open ") + audioCodec->name);
    AVStream* audioStream = avformat_new_stream(output.get(), nullptr);
    check(avcodec_parameters_from_context(audioStream->codecpar, audio.get()), "audio stream");
    audioStream->time_base = audio->time_base;

    openOutputFile(*output, file);
    if (video)
        writeVideo(*video, *videoStream, *output);
    writeAudio(*audio, *audioStream, *output, recipe.silent);
    finishOutput(*output);
}

int audioTrackCount(const std::filesystem::path& file) {
    try {
        return static_cast<int>(av::loadAsset(file).audioTracks.size());
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace kv::SeedFiles
