// Shared by the sources of av/ only: the FFmpeg frame behind VideoFrame and each container's muxer.
#pragma once

#include "av/media_service.h"
#include "platform/ffmpeg/ffmpeg_support.h"
#include "platform/platform_error.h"

#include <memory>

namespace kv::av {

struct VideoFrame::Data {
    platform::ffmpeg::Frame frame;
};

/// The muxer for a container ("ipod" for m4v and m4a).
const char* muxerName(Container container);

/// A frame of our own holding a new reference to `frame`'s buffers.
inline VideoFrame wrap(const AVFrame& frame) {
    auto data = std::make_unique<VideoFrame::Data>();
    data->frame.reset(av_frame_clone(&frame));
    if (!data->frame)
        throw PlatformError("out of memory copying a frame");
    return VideoFrame(std::move(data));
}
} // namespace kv::av
