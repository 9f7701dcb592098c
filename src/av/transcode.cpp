// Demux → decode → filter → encode → mux, with a stream copied as it stands where the preset
// allows.
#include "av/pipeline.h"
#include "platform/platform_error.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace kv::av {
using namespace platform::ffmpeg;
namespace {

// The presets' encoder settings, as DESIGN.md §8 fixes them for each preset.
// - x264 CRF 18 for the highest-quality preset, 23 (x264's default) for the medium one.
// - x264 "veryfast": measured 2.7× faster than "medium" on 1080p at CRF 18, with a smaller file.
// - AAC 256 kbit/s for the highest-quality and audio-only presets, 160 kbit/s for the medium one.
constexpr int kHighestQualityCRF = 18;
constexpr int kMediumQualityCRF = 23;
constexpr const char* kX264Preset = "veryfast";
constexpr int kHighQualityAACBitrate = 256'000;
constexpr int kMediumQualityAACBitrate = 160'000;
// An audio track that does not state its rate is taken as 44.1 kHz (CD audio, the common case).
constexpr int kFallbackSampleRate = 44'100;
// Samples per chunk for encoders that take any frame size (PCM): ~0.1 s at 44.1 kHz.
constexpr int kVariableFrameChunk = 4096;
// Progress is reported in steps of at least half a percent.
constexpr double kProgressStep = 0.005;

bool isMpeg4Family(Container container) {
    return container == Container::mp4 || container == Container::mov ||
           container == Container::m4v || container == Container::m4a;
}

bool carriesCoverArt(Container container) {
    return isMpeg4Family(container) || container == Container::flac;
}

struct AudioEncoding {
    AVCodecID codec = AV_CODEC_ID_AAC;
    AVSampleFormat format = AV_SAMPLE_FMT_FLTP;
    int bitrate = 0;
    bool copyAac = false;  // an AAC source track goes in unchanged
    int maxSampleRate = 0; // 0: the source's
    int maxChannels = 0;   // 0: the source's; more are mixed down
};

struct Plan {
    Container container = Container::mp4;
    bool keepVideo = true;
    bool copyEverything = false;
    int crf = kHighestQualityCRF;
    int videoBitrate = 0; // bits per second; replaces the CRF when set
    AudioEncoding audio;
    bool fastStart = false;
};

Plan planFor(Preset preset, Container container) {
    Plan plan;
    plan.container = container;
    plan.fastStart = isMpeg4Family(container);
    switch (preset) {
    case Preset::highestQuality:
        plan.audio = {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, kHighQualityAACBitrate, true};
        break;
    case Preset::mediumQuality:
        plan.crf = kMediumQualityCRF;
        plan.audio = {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, kMediumQualityAACBitrate, false};
        break;
    case Preset::passthrough: plan.copyEverything = true; break;
    case Preset::appleM4A:
        plan.keepVideo = false;
        plan.audio = {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, kHighQualityAACBitrate, true};
        break;
    }
    return plan;
}

Plan planFor(const AudioSettings& settings) {
    Plan plan;
    plan.container = settings.container;
    plan.keepVideo = false;
    switch (settings.codec) {
    case AudioCodec::aac:
        plan.audio = {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, settings.bitrate, false};
        break;
    case AudioCodec::alac: plan.audio = {AV_CODEC_ID_ALAC, AV_SAMPLE_FMT_S16P, 0, false}; break;
    case AudioCodec::flac: plan.audio = {AV_CODEC_ID_FLAC, AV_SAMPLE_FMT_S16, 0, false}; break;
    case AudioCodec::pcm16LittleEndian:
        plan.audio = {AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16, 0, false};
        break;
    case AudioCodec::pcm16BigEndian:
        plan.audio = {AV_CODEC_ID_PCM_S16BE, AV_SAMPLE_FMT_S16, 0, false};
        break;
    }
    return plan;
}

Plan planFor(const CompressSettings& settings) {
    Plan plan;
    plan.container = settings.container;
    plan.fastStart = isMpeg4Family(settings.container);
    plan.keepVideo = settings.keepVideo;
    plan.videoBitrate = settings.videoBitrate;
    plan.audio = {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP,     settings.audioBitrate,
                  false,           settings.maxSampleRate, settings.maxChannels};
    return plan;
}

bool isCoverArt(const AVStream& stream) {
    return (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
}

struct Selection {
    int video = -1;
    int audio = -1;
    std::vector<int> covers;
};

Selection selectStreams(const AVFormatContext& input, const Plan& plan) {
    Selection selection;
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream& stream = *input.streams[i];
        const auto type = stream.codecpar->codec_type;
        const int index = static_cast<int>(i);
        if (type == AVMEDIA_TYPE_VIDEO && isCoverArt(stream)) {
            const auto id = stream.codecpar->codec_id;
            if (carriesCoverArt(plan.container) &&
                (id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_PNG) && selection.covers.empty())
                selection.covers.push_back(index);
        } else if (type == AVMEDIA_TYPE_VIDEO && plan.keepVideo && selection.video < 0) {
            selection.video = index;
        } else if (type == AVMEDIA_TYPE_AUDIO && selection.audio < 0) {
            selection.audio = index;
        }
    }
    return selection;
}

bool muxerAccepts(const AVOutputFormat& muxer, AVCodecID codec) {
    return avformat_query_codec(&muxer, codec, FF_COMPLIANCE_NORMAL) == 1;
}

struct OwnedLayout {
    AVChannelLayout value{};
    OwnedLayout() = default;
    OwnedLayout(OwnedLayout&& other) noexcept : value(other.value) {
        other.value = AVChannelLayout{};
    }
    OwnedLayout& operator=(OwnedLayout&& other) noexcept {
        std::swap(value, other.value);
        return *this;
    }
    ~OwnedLayout() { av_channel_layout_uninit(&value); }
};

struct Track {
    const AVStream* input = nullptr;
    AVStream* output = nullptr;
    bool copy = false;
    CodecContext decoder;
    CodecContext encoder;
    FilterChain filter; // video
    // Audio: converted to the encoder's rate, layout and sample format, then cut into its frame
    // size.
    Resampler resampler;
    AudioFifo fifo;
    int chunk = 0;               // samples per encoder frame
    OwnedLayout resamplerLayout; // what `resampler` was set up to read
    int resamplerRate = 0;
    int resamplerFormat = AV_SAMPLE_FMT_NONE;
    bool timed = false;       // whether nextPts has been taken from the first decoded frame
    std::int64_t nextPts = 0; // in the encoder's time base: audio runs on without gaps
};

void copyDisplayMatrix(const AVStream& from, AVStream& to) {
    std::size_t size = 0;
    const std::uint8_t* matrix = av_stream_get_side_data(&from, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (matrix == nullptr || size == 0)
        return;
    std::uint8_t* copy = av_stream_new_side_data(&to, AV_PKT_DATA_DISPLAYMATRIX, size);
    if (copy != nullptr)
        std::copy_n(matrix, size, copy);
}

void setUpCopy(Track& track, AVFormatContext& output) {
    track.copy = true;
    track.output = avformat_new_stream(&output, nullptr);
    if (track.output == nullptr)
        throw PlatformError("out of memory adding a stream");
    check(avcodec_parameters_copy(track.output->codecpar, track.input->codecpar),
          "stream parameters");
    track.output->codecpar->codec_tag = 0;
    track.output->time_base = track.input->time_base;
    track.output->disposition = track.input->disposition;
    av_dict_copy(&track.output->metadata, track.input->metadata, 0);
    copyDisplayMatrix(*track.input, *track.output);
}

AVStream& newEncodedStream(Track& track, AVFormatContext& output) {
    track.output = avformat_new_stream(&output, nullptr);
    if (track.output == nullptr)
        throw PlatformError("out of memory adding a stream");
    check(avcodec_parameters_from_context(track.output->codecpar, track.encoder.get()),
          "stream parameters");
    track.output->time_base = track.encoder->time_base;
    av_dict_copy(&track.output->metadata, track.input->metadata, 0);
    av_dict_set(&track.output->metadata, "encoder", nullptr, 0);
    return *track.output;
}

void setUpVideoEncoding(Track& track, AVFormatContext& input, AVFormatContext& output, int crf,
                        int bitrate) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr)
        throw PlatformError("No H.264 encoder (libx264) available");
    track.decoder = openDecoder(*track.input);
    // Limited-range 4:2:0 with even sides is what the encoder takes: such pictures pass untouched
    // (a scaler would copy every one of them).
    const AVCodecContext& decoded = *track.decoder;
    const bool ready = decoded.pix_fmt == AV_PIX_FMT_YUV420P &&
                       decoded.color_range != AVCOL_RANGE_JPEG && decoded.width % 2 == 0 &&
                       decoded.height % 2 == 0;
    track.filter = makeVideoFilter(
        decoded, track.input->time_base,
        ready ? "null"
              : "scale='max(2,trunc(iw/2)*2)':'max(2,trunc(ih/2)*2)':out_range=tv,format=yuv420p");
    track.encoder.reset(avcodec_alloc_context3(codec));
    if (!track.encoder)
        throw PlatformError("out of memory opening the H.264 encoder");
    AVCodecContext& encoder = *track.encoder;
    AVFilterContext* sink = track.filter.sink;
    const FilterApi& api = filters();
    encoder.width = api.sinkWidth(sink);
    encoder.height = api.sinkHeight(sink);
    encoder.pix_fmt = static_cast<AVPixelFormat>(api.sinkFormat(sink));
    encoder.sample_aspect_ratio = api.sinkAspect(sink);
    encoder.time_base = api.sinkTimeBase(sink);
    encoder.framerate = av_guess_frame_rate(&input, const_cast<AVStream*>(track.input), nullptr);
    encoder.color_range = AVCOL_RANGE_MPEG; // the scaler writes limited range
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(track.decoder->pix_fmt);
    if (format != nullptr &&
        !(format->flags & AV_PIX_FMT_FLAG_RGB)) { // YUV keeps its colour description
        encoder.color_primaries = track.decoder->color_primaries;
        encoder.color_trc = track.decoder->color_trc;
        encoder.colorspace = track.decoder->colorspace;
    }
    encoder.thread_count = 0;
    if (output.oformat->flags & AVFMT_GLOBALHEADER)
        encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder.priv_data, "preset", kX264Preset, 0);
    if (bitrate > 0)
        encoder.bit_rate = bitrate;
    else
        av_opt_set(encoder.priv_data, "crf", std::to_string(crf).c_str(), 0);
    check(avcodec_open2(&encoder, codec, nullptr), "Cannot open the H.264 encoder");
    AVStream& stream = newEncodedStream(track, output);
    stream.avg_frame_rate = encoder.framerate;
    copyDisplayMatrix(*track.input, stream);
}

int supportedRate(const AVCodec& codec, int wanted) {
    if (codec.supported_samplerates == nullptr)
        return wanted;
    int best = 0;
    for (const int* rate = codec.supported_samplerates; *rate != 0; ++rate) {
        if (*rate == wanted)
            return wanted;
        if (best == 0 || std::abs(*rate - wanted) < std::abs(best - wanted))
            best = *rate;
    }
    return best != 0 ? best : wanted;
}

void chooseLayout(const AVCodec& codec, const AVChannelLayout& source, AVChannelLayout& chosen) {
    AVChannelLayout wanted{};
    if (source.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&source) == 0)
        av_channel_layout_default(&wanted, std::max(1, source.nb_channels));
    else
        av_channel_layout_copy(&wanted, &source);
    if (codec.ch_layouts == nullptr) {
        av_channel_layout_copy(&chosen, &wanted);
        av_channel_layout_uninit(&wanted);
        return;
    }
    AVChannelLayout fallback{};
    av_channel_layout_default(&fallback, wanted.nb_channels);
    const AVChannelLayout* pick = nullptr;
    for (const AVChannelLayout* layout = codec.ch_layouts; layout->nb_channels != 0; ++layout)
        if (av_channel_layout_compare(layout, &wanted) == 0)
            pick = layout;
    if (pick == nullptr)
        for (const AVChannelLayout* layout = codec.ch_layouts; layout->nb_channels != 0; ++layout)
            if (av_channel_layout_compare(layout, &fallback) == 0)
                pick = layout;
    if (pick == nullptr) // same channel count in another arrangement
        for (const AVChannelLayout* layout = codec.ch_layouts; layout->nb_channels != 0; ++layout)
            if (layout->nb_channels == wanted.nb_channels)
                pick = layout;
    if (pick != nullptr) {
        av_channel_layout_copy(&chosen, pick);
    } else {
        av_channel_layout_uninit(&chosen);
        chosen = AV_CHANNEL_LAYOUT_STEREO;
    }
    av_channel_layout_uninit(&wanted);
    av_channel_layout_uninit(&fallback);
}

void setUpAudioEncoding(Track& track, AVFormatContext& output, const AudioEncoding& settings) {
    const AVCodec* codec = avcodec_find_encoder(settings.codec);
    if (codec == nullptr)
        throw PlatformError(std::string("No encoder for ") + avcodec_get_name(settings.codec));
    track.decoder = openDecoder(*track.input);
    track.encoder.reset(avcodec_alloc_context3(codec));
    if (!track.encoder)
        throw PlatformError("out of memory opening an audio encoder");
    AVCodecContext& encoder = *track.encoder;
    int rate = track.decoder->sample_rate > 0 ? track.decoder->sample_rate : kFallbackSampleRate;
    if (settings.maxSampleRate > 0)
        rate = std::min(rate, settings.maxSampleRate);
    encoder.sample_rate = supportedRate(*codec, rate);
    if (settings.maxChannels > 0 && track.decoder->ch_layout.nb_channels > settings.maxChannels) {
        OwnedLayout fewer;
        av_channel_layout_default(&fewer.value, settings.maxChannels);
        chooseLayout(*codec, fewer.value, encoder.ch_layout);
    } else {
        chooseLayout(*codec, track.decoder->ch_layout, encoder.ch_layout);
    }
    encoder.sample_fmt = settings.format;
    encoder.time_base = AVRational{1, encoder.sample_rate};
    if (settings.bitrate > 0)
        encoder.bit_rate = settings.bitrate;
    if (settings.format == AV_SAMPLE_FMT_S16 || settings.format == AV_SAMPLE_FMT_S16P)
        encoder.bits_per_raw_sample = 16;
    if (output.oformat->flags & AVFMT_GLOBALHEADER)
        encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(&encoder, codec, nullptr),
          std::string("Cannot open the ") + codec->name + " encoder");
    if (av_sample_fmt_is_planar(encoder.sample_fmt) &&
        encoder.ch_layout.nb_channels > AV_NUM_DATA_POINTERS)
        throw PlatformError("Too many audio channels: " +
                            std::to_string(encoder.ch_layout.nb_channels));

    // Fixed-size encoders (AAC, ALAC, FLAC) take their frame size, the last frame may be shorter;
    // PCM takes any size.
    const bool fixedSize =
        encoder.frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    track.chunk = fixedSize ? encoder.frame_size : kVariableFrameChunk;
    track.fifo.reset(
        av_audio_fifo_alloc(encoder.sample_fmt, encoder.ch_layout.nb_channels, track.chunk * 4));
    if (!track.fifo)
        throw PlatformError("out of memory buffering audio");
    newEncodedStream(track, output);
}

class Transcoder {
  public:
    Transcoder(const std::filesystem::path& source, const std::filesystem::path& output,
               const Plan& plan, const ProgressHandler& progress, std::stop_token stop)
        : m_stop(std::move(stop)), m_progress(progress) {
        m_input = openInput(source, &m_stop);
        m_output = createOutput(output, muxerName(plan.container), &m_stop);
        m_duration = durationSeconds(*m_input);
        m_start = m_input->start_time != AV_NOPTS_VALUE
                      ? static_cast<double>(m_input->start_time) / AV_TIME_BASE
                      : 0;
        const Selection selection = selectStreams(*m_input, plan);
        if (selection.video < 0 && selection.audio < 0)
            throw PlatformError("No audio or video track to convert");
        m_tracks.resize(m_input->nb_streams);

        if (selection.video >= 0) {
            Track& track = m_tracks[static_cast<std::size_t>(selection.video)];
            track.input = m_input->streams[selection.video];
            if (plan.copyEverything)
                setUpCopy(track, *m_output);
            else
                setUpVideoEncoding(track, *m_input, *m_output, plan.crf, plan.videoBitrate);
        }
        if (selection.audio >= 0) {
            Track& track = m_tracks[static_cast<std::size_t>(selection.audio)];
            track.input = m_input->streams[selection.audio];
            const bool aacCopy = plan.audio.copyAac &&
                                 track.input->codecpar->codec_id == AV_CODEC_ID_AAC &&
                                 isMpeg4Family(plan.container);
            if (plan.copyEverything || aacCopy)
                setUpCopy(track, *m_output);
            else
                setUpAudioEncoding(track, *m_output, plan.audio);
        }
        for (const int index : selection.covers) {
            Track& track = m_tracks[static_cast<std::size_t>(index)];
            track.input = m_input->streams[index];
            setUpCopy(track, *m_output); // the MPEG-4 and FLAC muxers store it as cover art
        }

        for (unsigned i = 0; i < m_input->nb_streams; ++i)
            if (m_tracks[i].input == nullptr)
                m_input->streams[i]->discard = AVDISCARD_ALL;
        av_dict_copy(&m_output->metadata, m_input->metadata, 0);
        // The source container's own fields describe that file, not ours.
        for (const char* key : {"encoder", "major_brand", "minor_version", "compatible_brands"})
            av_dict_set(&m_output->metadata, key, nullptr, 0);
        Dictionary options =
            plan.fastStart ? makeDictionary({{"movflags", "+faststart"}}) : nullptr;
        openOutputFile(*m_output, output, &options);
    }

    ~Transcoder() { av_freep(&m_converted[0]); }
    Transcoder(const Transcoder&) = delete;
    Transcoder& operator=(const Transcoder&) = delete;

    TranscodeReport run() {
        Packet packet = allocPacket();
        for (;;) {
            if (m_stop.stop_requested())
                throwCancelled();
            const int read = av_read_frame(m_input.get(), packet.get());
            if (m_stop.stop_requested())
                throwCancelled();
            if (read == AVERROR_EOF)
                break;
            check(read, "Cannot read the source");
            const auto index = static_cast<std::size_t>(packet->stream_index);
            if (index >= m_tracks.size() ||
                m_tracks[index].input == nullptr) { // not kept, or appeared late
                av_packet_unref(packet.get());
                continue;
            }
            Track& track = m_tracks[index];
            report(*packet, *track.input);
            if (track.copy) {
                av_packet_rescale_ts(packet.get(), track.input->time_base, track.output->time_base);
                packet->stream_index = track.output->index;
                packet->pos = -1;
                write(*packet);
            } else {
                decode(track, packet.get());
            }
            av_packet_unref(packet.get());
        }
        for (Track& track : m_tracks) {
            if (track.input == nullptr || track.copy)
                continue;
            decode(track, nullptr);
            if (track.fifo) {
                flushResampler(track);
                encodeBuffered(track, true);
            } else {
                check(filters().addFrame(track.filter.source, nullptr, 0), "filter flush");
                drainFilter(track);
            }
            encode(track, nullptr);
        }
        finishOutput(*m_output);
        if (m_progress)
            m_progress(1.0);
        return m_report;
    }

  private:
    void report(const AVPacket& packet, const AVStream& stream) {
        if (!m_progress || m_duration <= 0)
            return;
        const std::int64_t when = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
        if (when == AV_NOPTS_VALUE)
            return;
        const double fraction = std::clamp(
            (static_cast<double>(when) * av_q2d(stream.time_base) - m_start) / m_duration, 0.0,
            1.0);
        if (fraction - m_reported < kProgressStep)
            return;
        m_reported = fraction;
        m_progress(fraction);
    }

    void write(AVPacket& packet) {
        const int written = av_interleaved_write_frame(m_output.get(), &packet);
        if (m_stop.stop_requested())
            throwCancelled();
        check(written, "Cannot write the output");
    }

    void decode(Track& track, const AVPacket* packet) {
        int result = avcodec_send_packet(track.decoder.get(), packet);
        if (result == AVERROR_INVALIDDATA)
            ++m_report.skippedPackets; // skipped, as players do
        else if (result < 0 && result != AVERROR_EOF)
            check(result, "Cannot decode the source");
        while ((result = avcodec_receive_frame(track.decoder.get(), m_frame.get())) >= 0) {
            m_frame->pts = m_frame->best_effort_timestamp;
            if (track.fifo) {
                try {
                    convertAudio(track, m_frame.get());
                } catch (...) {
                    av_frame_unref(m_frame.get());
                    throw;
                }
                av_frame_unref(m_frame.get());
                continue;
            }
            const int added = filters().addFrame(track.filter.source, m_frame.get(), 0);
            av_frame_unref(m_frame.get());
            check(added, "filter input");
            drainFilter(track);
        }
        if (result == AVERROR_INVALIDDATA)
            ++m_report.skippedPackets;
        else if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
            check(result, "Cannot decode the source");
    }

    // (Re)opens the resampler for the frame's rate, layout and format, which a stream may change.
    void prepareResampler(Track& track, const AVFrame& frame) {
        OwnedLayout layout;
        usableLayout(frame.ch_layout, layout.value);
        if (track.resampler && track.resamplerRate == frame.sample_rate &&
            track.resamplerFormat == frame.format &&
            av_channel_layout_compare(&track.resamplerLayout.value, &layout.value) == 0)
            return;
        flushResampler(track); // the samples it still holds belong to the old input
        AVCodecContext& encoder = *track.encoder;
        SwrContext* raw = nullptr;
        const int made = swr_alloc_set_opts2(
            &raw, &encoder.ch_layout, encoder.sample_fmt, encoder.sample_rate, &layout.value,
            static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
        track.resampler.reset(raw);
        track.resamplerLayout = std::move(layout);
        track.resamplerRate = frame.sample_rate;
        track.resamplerFormat = frame.format;
        check(made, "audio resampler");
        check(swr_init(track.resampler.get()), "audio resampler");
    }

    // Converts decoded samples (none: what the resampler still holds) into the FIFO.
    void resample(Track& track, const std::uint8_t** data, int samples) {
        const AVCodecContext& encoder = *track.encoder;
        const int room = swr_get_out_samples(track.resampler.get(), samples);
        if (room <= 0)
            return;
        if (room > m_convertedRoom) {
            av_freep(&m_converted[0]);
            m_convertedRoom = 0;
            check(av_samples_alloc(m_converted.data(), nullptr, encoder.ch_layout.nb_channels, room,
                                   encoder.sample_fmt, 0),
                  "audio buffer");
            m_convertedRoom = room;
        }
        const int converted =
            swr_convert(track.resampler.get(), m_converted.data(), room, data, samples);
        check(converted, "Cannot convert the audio");
        if (converted > 0 &&
            av_audio_fifo_write(track.fifo.get(), reinterpret_cast<void**>(m_converted.data()),
                                converted) < converted)
            throw PlatformError("out of memory buffering audio");
    }

    void flushResampler(Track& track) {
        if (track.resampler)
            resample(track, nullptr, 0);
    }

    void convertAudio(Track& track, const AVFrame* frame) {
        if (!track.timed) { // the first frame's time is where the track starts; earlier counts as 0
            track.timed = true;
            if (frame->pts != AV_NOPTS_VALUE)
                track.nextPts = std::max<std::int64_t>(
                    0, av_rescale_q(frame->pts, track.input->time_base, track.encoder->time_base));
        }
        prepareResampler(track, *frame);
        resample(track, const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
        encodeBuffered(track, false);
    }

    // Sends whole encoder frames from the FIFO; at the end also the short rest.
    void encodeBuffered(Track& track, bool end) {
        const AVCodecContext& encoder = *track.encoder;
        for (;;) {
            const int available = av_audio_fifo_size(track.fifo.get());
            if (available <= 0 || (available < track.chunk && !end))
                return;
            const int samples = std::min(available, track.chunk);
            Frame frame = allocFrame();
            frame->nb_samples = samples;
            frame->format = encoder.sample_fmt;
            frame->sample_rate = encoder.sample_rate;
            check(av_channel_layout_copy(&frame->ch_layout, &encoder.ch_layout), "audio frame");
            check(av_frame_get_buffer(frame.get(), 0), "audio frame");
            if (av_audio_fifo_read(track.fifo.get(), reinterpret_cast<void**>(frame->extended_data),
                                   samples) != samples)
                throw PlatformError("audio buffer underrun");
            frame->pts = track.nextPts;
            track.nextPts += samples;
            encode(track, frame.get());
        }
    }

    void drainFilter(Track& track) {
        int result = 0;
        const FilterApi& api = filters();
        const AVRational sinkBase = api.sinkTimeBase(track.filter.sink);
        while ((result = api.getFrame(track.filter.sink, m_filtered.get())) >= 0) {
            AVFrame& frame = *m_filtered;
            if (frame.pts != AV_NOPTS_VALUE)
                frame.pts = av_rescale_q(frame.pts, sinkBase, track.encoder->time_base);
            frame.pict_type = AV_PICTURE_TYPE_NONE;
            try {
                encode(track, &frame);
            } catch (...) {
                av_frame_unref(&frame);
                throw;
            }
            av_frame_unref(&frame);
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
            check(result, "filter output");
    }

    void encode(Track& track, const AVFrame* frame) {
        check(avcodec_send_frame(track.encoder.get(), frame), "Cannot encode");
        int result = 0;
        while ((result = avcodec_receive_packet(track.encoder.get(), m_encoded.get())) >= 0) {
            av_packet_rescale_ts(m_encoded.get(), track.encoder->time_base,
                                 track.output->time_base);
            m_encoded->stream_index = track.output->index;
            write(*m_encoded);
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
            check(result, "Cannot encode");
    }

    std::stop_token m_stop; // declared before the contexts: their I/O callbacks point at it
    const ProgressHandler& m_progress;
    InputContext m_input;
    OutputContext m_output;
    std::vector<Track> m_tracks;
    Frame m_frame = allocFrame();
    Frame m_filtered = allocFrame();
    Packet m_encoded = allocPacket();
    // The resampler's output before it enters the FIFO: one block, a pointer per plane.
    std::array<std::uint8_t*, AV_NUM_DATA_POINTERS> m_converted{};
    int m_convertedRoom = 0;
    double m_duration = 0;
    double m_start = 0;
    double m_reported = 0;
    TranscodeReport m_report;
};

} // namespace

bool isPresetCompatible(const std::filesystem::path& source, Preset preset, Container container) {
    try {
        const InputContext input = openInput(source, nullptr);
        const Plan plan = planFor(preset, container);
        const Selection selection = selectStreams(*input, plan);
        if (selection.video < 0 && selection.audio < 0)
            return false;
        const AVOutputFormat* muxer = av_guess_format(muxerName(container), nullptr, nullptr);
        if (muxer == nullptr)
            return false;
        for (const int index : {selection.video, selection.audio}) {
            if (index < 0)
                continue;
            const AVCodecParameters& parameters = *input->streams[index]->codecpar;
            if (plan.copyEverything) {
                if (!muxerAccepts(*muxer, parameters.codec_id))
                    return false;
                continue;
            }
            const bool copied = index == selection.audio && plan.audio.copyAac &&
                                parameters.codec_id == AV_CODEC_ID_AAC && isMpeg4Family(container);
            if (copied)
                continue;
            if (avcodec_find_decoder(parameters.codec_id) == nullptr)
                return false;
            const AVCodec* encoder = index == selection.video
                                         ? avcodec_find_encoder_by_name("libx264")
                                         : avcodec_find_encoder(plan.audio.codec);
            if (encoder == nullptr)
                return false;
        }
        return true;
    } catch (const PlatformError&) {
        return false;
    }
}

TranscodeReport exportAsset(const std::filesystem::path& source,
                            const std::filesystem::path& output, Preset preset, Container container,
                            const ProgressHandler& progress, std::stop_token stop) {
    return Transcoder(source, output, planFor(preset, container), progress, std::move(stop)).run();
}

TranscodeReport transcodeAudio(const std::filesystem::path& source,
                               const std::filesystem::path& output, const AudioSettings& settings,
                               const ProgressHandler& progress, std::stop_token stop) {
    return Transcoder(source, output, planFor(settings), progress, std::move(stop)).run();
}

TranscodeReport compressAsset(const std::filesystem::path& source,
                              const std::filesystem::path& output, const CompressSettings& settings,
                              const ProgressHandler& progress, std::stop_token stop) {
    return Transcoder(source, output, planFor(settings), progress, std::move(stop)).run();
}

} // namespace kv::av
