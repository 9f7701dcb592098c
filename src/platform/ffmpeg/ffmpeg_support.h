// FFmpeg handles, errors and I/O helpers for the video and audio code in av/ (never included
// elsewhere).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavfilter/version.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "platform/c_handle.h"
#include "platform/platform_error.h"

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>

namespace kv::platform::ffmpeg {

inline void closeInput(AVFormatContext* context) noexcept {
    avformat_close_input(&context);
}
inline void freeOutput(AVFormatContext* context) noexcept {
    if (context == nullptr)
        return;
    if (context->pb != nullptr && !(context->oformat->flags & AVFMT_NOFILE))
        avio_closep(&context->pb);
    avformat_free_context(context);
}
inline void freeCodec(AVCodecContext* context) noexcept {
    avcodec_free_context(&context);
}
inline void freeFrame(AVFrame* frame) noexcept {
    av_frame_free(&frame);
}
inline void freePacket(AVPacket* packet) noexcept {
    av_packet_free(&packet);
}
void freeGraph(AVFilterGraph* graph) noexcept;
inline void freeResampler(SwrContext* context) noexcept {
    swr_free(&context);
}
inline void freeDictionary(AVDictionary* dictionary) noexcept {
    av_dict_free(&dictionary);
}

using InputContext = CHandle<AVFormatContext, &closeInput>;
using OutputContext = CHandle<AVFormatContext, &freeOutput>;
using CodecContext = CHandle<AVCodecContext, &freeCodec>;
using Frame = CHandle<AVFrame, &freeFrame>;
using Packet = CHandle<AVPacket, &freePacket>;
using FilterGraph = CHandle<AVFilterGraph, &freeGraph>;
using SwsContextHandle = CHandle<SwsContext, &sws_freeContext>;
using Resampler = CHandle<SwrContext, &freeResampler>;
using AudioFifo = CHandle<AVAudioFifo, &av_audio_fifo_free>;
/// Options handed to a demuxer or muxer; what it leaves unused stays in here.
using Dictionary = CHandle<AVDictionary, &freeDictionary>;

/// libavfilter, bound on first use: only pictures go through filter graphs, and the ~30 libraries
/// it pulls in would cost an audio conversion more time than its encoding.
struct FilterApi {
    decltype(&avfilter_graph_alloc) graphAlloc;
    decltype(&avfilter_graph_free) graphFree;
    decltype(&avfilter_get_by_name) getByName;
    decltype(&avfilter_graph_create_filter) createFilter;
    decltype(&avfilter_graph_parse_ptr) parse;
    decltype(&avfilter_graph_config) configure;
    decltype(&avfilter_inout_alloc) inOutAlloc;
    decltype(&avfilter_inout_free) inOutFree;
    decltype(&av_buffersrc_add_frame_flags) addFrame;
    decltype(&av_buffersink_get_frame) getFrame;
    decltype(&av_buffersink_get_w) sinkWidth;
    decltype(&av_buffersink_get_h) sinkHeight;
    decltype(&av_buffersink_get_format) sinkFormat;
    decltype(&av_buffersink_get_sample_aspect_ratio) sinkAspect;
    decltype(&av_buffersink_get_time_base) sinkTimeBase;
};
/// The loaded library; PlatformError when it is missing or lacks an entry point.
const FilterApi& filters();

/// FFmpeg's text for an error code.
std::string errorText(int code);
/// Throws PlatformError(what + ": " + FFmpeg's text) when `code` is negative; returns it otherwise.
int check(int code, const std::string& what);

Frame allocFrame();
Packet allocPacket();
/// A dictionary holding `entries` (name, value).
Dictionary makeDictionary(std::initializer_list<std::pair<const char*, const char*>> entries);

/// Opens a file for demuxing with stream info loaded; polls `stop` during blocking I/O.
/// `options` may name demuxer options ("min_delay=1").
InputContext openInput(const std::filesystem::path& file, const std::stop_token* stop,
                       const char* demuxer = nullptr, Dictionary* options = nullptr);

/// An output context for `muxer` writing to `file`, its I/O polled by `stop`. The file is opened
/// by `openOutputFile` once the streams are set up.
OutputContext createOutput(const std::filesystem::path& file, const char* muxer,
                           const std::stop_token* stop);
void openOutputFile(AVFormatContext& output, const std::filesystem::path& file,
                    Dictionary* options = nullptr);

/// A decoder for the stream, using every core.
CodecContext openDecoder(const AVStream& stream);

/// The stream's duration in seconds, else the container's, else 0.
double durationSeconds(const AVFormatContext& input);

/// The display rotation (degrees, counter-clockwise, 0/90/180/270) from the stream's matrix.
int displayRotation(const AVStream& stream);

/// Writes the trailer and closes the file, reporting a failed flush.
void finishOutput(AVFormatContext& output);

/// Thrown when a stop was requested; the caller removes the output.
[[noreturn]] void throwCancelled();

/// Builds a filter graph "in → description → out" for one video stream.
struct FilterChain {
    FilterGraph graph;
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    AVFilterContext* second = nullptr; // a second input, when the graph has one
};
struct VideoInput {
    int width = 0;
    int height = 0;
    int format = AV_PIX_FMT_NONE;
    AVRational timeBase{1, 1};
    AVRational aspect{1, 1};
};
/// With `second`, the graph has a second input; the description then names its pads:
/// "[in][second]paletteuse[out]".
FilterChain makeVideoFilter(const VideoInput& input, const std::string& description,
                            const VideoInput* second = nullptr);
FilterChain makeVideoFilter(const AVCodecContext& decoder, AVRational timeBase,
                            const std::string& description);

/// The channel layout of a decoded stream or frame, made explicit: an unspecified order becomes
/// the usual layout for its channel count.
void usableLayout(const AVChannelLayout& layout, AVChannelLayout& usable);

} // namespace kv::platform::ffmpeg
