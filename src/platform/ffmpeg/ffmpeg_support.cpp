// FFmpeg handles, errors, interrupt polling and filter graphs, turned into our types.
#include "platform/ffmpeg/ffmpeg_support.h"

#include "platform/platform_error.h"

#include <cmath>
#include <dlfcn.h>
#include <mutex>

namespace kv::platform::ffmpeg {
namespace {

constexpr const char* kInputContainers = "mov,avi,matroska,mp3,aac,wav,aiff,flac,gif";

int interruptRequested(void* opaque) {
    const auto* stop = static_cast<const std::stop_token*>(opaque);
    return stop != nullptr && stop->stop_requested() ? 1 : 0;
}

void quietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

// Connects the sources (their labels in the description: "in", "second") and the sink ("out").
FilterChain linkChain(FilterGraph graph, AVFilterContext* source, AVFilterContext* second,
                      AVFilterContext* sink, const std::string& description) {
    const FilterApi& api = filters();
    AVFilterInOut* outputs = api.inOutAlloc();
    AVFilterInOut* secondOutput = second != nullptr ? api.inOutAlloc() : nullptr;
    AVFilterInOut* inputs = api.inOutAlloc();
    if (outputs == nullptr || inputs == nullptr || (second != nullptr && secondOutput == nullptr)) {
        api.inOutFree(&outputs);
        api.inOutFree(&secondOutput);
        api.inOutFree(&inputs);
        throw PlatformError("out of memory building a filter graph");
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source;
    outputs->next = secondOutput;
    if (secondOutput != nullptr) {
        secondOutput->name = av_strdup("second");
        secondOutput->filter_ctx = second;
    }
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    const int parsed = api.parse(graph.get(), description.c_str(), &inputs, &outputs, nullptr);
    api.inOutFree(&inputs);
    api.inOutFree(&outputs);
    check(parsed, "filter graph \"" + description + "\"");
    check(api.configure(graph.get(), nullptr), "filter graph configuration");
    return FilterChain{std::move(graph), source, sink, second};
}

std::string bufferArguments(const VideoInput& in) {
    const AVRational aspect = in.aspect.num > 0 && in.aspect.den > 0 ? in.aspect : AVRational{1, 1};
    return "video_size=" + std::to_string(in.width) + "x" + std::to_string(in.height) +
           ":pix_fmt=" + std::to_string(in.format) +
           ":time_base=" + std::to_string(in.timeBase.num) + "/" + std::to_string(in.timeBase.den) +
           ":pixel_aspect=" + std::to_string(aspect.num) + "/" + std::to_string(aspect.den);
}

// A PCM header (WAV, AIFF) states the rate, channels and length exactly; reading ahead to analyse
// the samples would cost milliseconds per second of sound. Anything else is analysed.
bool headerSuffices(const AVFormatContext& input) {
    if (input.nb_streams == 0)
        return false;
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream& stream = *input.streams[i];
        const AVCodecParameters& parameters = *stream.codecpar;
        const bool pcm = parameters.codec_id >= AV_CODEC_ID_PCM_S16LE &&
                         parameters.codec_id < AV_CODEC_ID_ADPCM_IMA_QT;
        if (parameters.codec_type != AVMEDIA_TYPE_AUDIO || !pcm || parameters.sample_rate <= 0 ||
            parameters.ch_layout.nb_channels <= 0 || stream.duration == AV_NOPTS_VALUE ||
            stream.duration <= 0)
            return false;
    }
    return true;
}

template <typename Function> void bind(void* library, const char* name, Function& slot) {
    slot = reinterpret_cast<Function>(::dlsym(library, name));
    if (slot == nullptr)
        throw PlatformError(std::string("libavfilter lacks ") + name);
}

} // namespace

const FilterApi& filters() {
    static std::once_flag once;
    static FilterApi api{};
    static std::string failure;
    static bool loaded = false;
    std::call_once(once, [] {
        // The major version these headers describe: another one has another ABI.
        const std::string name = "libavfilter.so." + std::to_string(LIBAVFILTER_VERSION_MAJOR);
        void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* reason = ::dlerror();
            failure = "Cannot load " + name +
                      (reason != nullptr ? std::string(": ") + reason : std::string());
            return;
        }
        try {
            bind(library, "avfilter_graph_alloc", api.graphAlloc);
            bind(library, "avfilter_graph_free", api.graphFree);
            bind(library, "avfilter_get_by_name", api.getByName);
            bind(library, "avfilter_graph_create_filter", api.createFilter);
            bind(library, "avfilter_graph_parse_ptr", api.parse);
            bind(library, "avfilter_graph_config", api.configure);
            bind(library, "avfilter_inout_alloc", api.inOutAlloc);
            bind(library, "avfilter_inout_free", api.inOutFree);
            bind(library, "av_buffersrc_add_frame_flags", api.addFrame);
            bind(library, "av_buffersink_get_frame", api.getFrame);
            bind(library, "av_buffersink_get_w", api.sinkWidth);
            bind(library, "av_buffersink_get_h", api.sinkHeight);
            bind(library, "av_buffersink_get_format", api.sinkFormat);
            bind(library, "av_buffersink_get_sample_aspect_ratio", api.sinkAspect);
            bind(library, "av_buffersink_get_time_base", api.sinkTimeBase);
            loaded = true; // stays loaded for the life of the process
        } catch (const PlatformError& missing) {
            failure = missing.what();
        }
    });
    if (!loaded)
        throw PlatformError(failure);
    return api;
}

void freeGraph(AVFilterGraph* graph) noexcept {
    if (graph != nullptr)
        filters().graphFree(&graph); // a graph exists only once the library is bound
}

void usableLayout(const AVChannelLayout& layout, AVChannelLayout& usable) {
    av_channel_layout_uninit(&usable);
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&layout) == 0)
        av_channel_layout_default(&usable, layout.nb_channels > 0 ? layout.nb_channels : 2);
    else
        av_channel_layout_copy(&usable, &layout);
}

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

int check(int code, const std::string& what) {
    if (code < 0)
        throw PlatformError(what + ": " + errorText(code));
    return code;
}

Frame allocFrame() {
    Frame frame(av_frame_alloc());
    if (!frame)
        throw PlatformError("out of memory allocating a frame");
    return frame;
}

Packet allocPacket() {
    Packet packet(av_packet_alloc());
    if (!packet)
        throw PlatformError("out of memory allocating a packet");
    return packet;
}

Dictionary makeDictionary(std::initializer_list<std::pair<const char*, const char*>> entries) {
    AVDictionary* raw = nullptr;
    for (const auto& [name, value] : entries) {
        if (av_dict_set(&raw, name, value, 0) < 0) {
            av_dict_free(&raw);
            throw PlatformError("out of memory setting an option");
        }
    }
    return Dictionary(raw);
}

void throwCancelled() {
    throw MediaCancelled();
}

InputContext openInput(const std::filesystem::path& file, const std::stop_token* stop,
                       const char* demuxer, Dictionary* options) {
    quietLibraries();
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr)
        throw PlatformError("out of memory opening " + file.filename().string());
    raw->interrupt_callback = {&interruptRequested, const_cast<std::stop_token*>(stop)};
    // Only local files, and only the containers we convert: a playlist or concat script posing as
    // a video must not make the demuxer fetch URLs or read other files.
    raw->protocol_whitelist = av_strdup("file");
    raw->format_whitelist = av_strdup(kInputContainers);
    const AVInputFormat* format = demuxer != nullptr ? av_find_input_format(demuxer) : nullptr;
    const std::string url = "file:" + file.string(); // a name with a colon is never a protocol
    AVDictionary* unused = options != nullptr ? options->release() : nullptr;
    const int opened =
        avformat_open_input(&raw, url.c_str(), format, &unused); // frees raw on failure
    if (options != nullptr)
        options->reset(unused);
    else
        av_dict_free(&unused);
    if (stop != nullptr && stop->stop_requested()) {
        if (opened >= 0)
            avformat_close_input(&raw);
        throwCancelled();
    }
    check(opened, "Cannot open " + file.filename().string());
    InputContext input(raw);
    if (headerSuffices(*input))
        return input;
    const int info = avformat_find_stream_info(input.get(), nullptr);
    if (stop != nullptr && stop->stop_requested())
        throwCancelled();
    check(info, "Cannot read the streams of " + file.filename().string());
    return input;
}

OutputContext createOutput(const std::filesystem::path& file, const char* muxer,
                           const std::stop_token* stop) {
    quietLibraries();
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, muxer, file.c_str()),
          std::string("muxer ") + muxer);
    OutputContext output(raw);
    output->interrupt_callback = {&interruptRequested, const_cast<std::stop_token*>(stop)};
    return output;
}

void openOutputFile(AVFormatContext& output, const std::filesystem::path& file,
                    Dictionary* options) {
    if (!(output.oformat->flags & AVFMT_NOFILE))
        check(avio_open2(&output.pb, ("file:" + file.string()).c_str(), AVIO_FLAG_WRITE,
                         &output.interrupt_callback, nullptr),
              "Cannot write " + file.filename().string());
    AVDictionary* unused = options != nullptr ? options->release() : nullptr;
    const int written = avformat_write_header(&output, &unused);
    if (options != nullptr)
        options->reset(unused);
    else
        av_dict_free(&unused);
    const auto* stop = static_cast<const std::stop_token*>(output.interrupt_callback.opaque);
    if (stop != nullptr && stop->stop_requested())
        throwCancelled();
    check(written, "Cannot start " + file.filename().string());
}

CodecContext openDecoder(const AVStream& stream) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (codec == nullptr)
        throw PlatformError(std::string("No decoder for ") +
                            avcodec_get_name(stream.codecpar->codec_id));
    CodecContext decoder(avcodec_alloc_context3(codec));
    if (!decoder)
        throw PlatformError("out of memory opening a decoder");
    check(avcodec_parameters_to_context(decoder.get(), stream.codecpar), "decoder parameters");
    decoder->pkt_timebase = stream.time_base;
    decoder->thread_count = 0; // one thread per core
    decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    check(avcodec_open2(decoder.get(), codec, nullptr),
          std::string("Cannot open the ") + codec->name + " decoder");
    return decoder;
}

double durationSeconds(const AVFormatContext& input) {
    if (input.duration != AV_NOPTS_VALUE && input.duration > 0)
        return static_cast<double>(input.duration) / AV_TIME_BASE;
    double longest = 0;
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream& stream = *input.streams[i];
        if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0)
            longest =
                std::max(longest, static_cast<double>(stream.duration) * av_q2d(stream.time_base));
    }
    return longest;
}

int displayRotation(const AVStream& stream) {
    const auto* matrix = reinterpret_cast<const int32_t*>(
        av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix == nullptr)
        return 0;
    const double counterClockwise = av_display_rotation_get(matrix);
    if (std::isnan(counterClockwise))
        return 0;
    const long quarterTurns = std::lround(-counterClockwise / 90.0);
    return static_cast<int>(((quarterTurns % 4) + 4) % 4) * 90;
}

FilterChain makeVideoFilter(const VideoInput& in, const std::string& description,
                            const VideoInput* secondIn) {
    const FilterApi& api = filters();
    FilterGraph graph(api.graphAlloc());
    if (!graph)
        throw PlatformError("out of memory building a filter graph");
    graph->nb_threads = 0;
    AVFilterContext* source = nullptr;
    AVFilterContext* second = nullptr;
    AVFilterContext* sink = nullptr;
    check(api.createFilter(&source, api.getByName("buffer"), "in", bufferArguments(in).c_str(),
                           nullptr, graph.get()),
          "video source filter");
    if (secondIn != nullptr)
        check(api.createFilter(&second, api.getByName("buffer"), "second",
                               bufferArguments(*secondIn).c_str(), nullptr, graph.get()),
              "video source filter");
    check(
        api.createFilter(&sink, api.getByName("buffersink"), "out", nullptr, nullptr, graph.get()),
        "video sink filter");
    return linkChain(std::move(graph), source, second, sink, description);
}

FilterChain makeVideoFilter(const AVCodecContext& decoder, AVRational timeBase,
                            const std::string& description) {
    return makeVideoFilter(VideoInput{decoder.width, decoder.height, decoder.pix_fmt, timeBase,
                                      decoder.sample_aspect_ratio},
                           description);
}

void finishOutput(AVFormatContext& output) {
    const int finished = av_write_trailer(&output);
    const auto* stop = static_cast<const std::stop_token*>(output.interrupt_callback.opaque);
    if (stop != nullptr && stop->stop_requested())
        throwCancelled();
    check(finished, "Cannot finish the output");
    if (output.pb != nullptr && !(output.oformat->flags & AVFMT_NOFILE))
        check(avio_closep(&output.pb), "Cannot close the output");
}

} // namespace kv::platform::ffmpeg
