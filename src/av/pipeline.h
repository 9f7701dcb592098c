// Shared by the sources of av/ only: the FFmpeg frame behind VideoFrame and each container's muxer.
#pragma once

#include "av/media_service.h"
#include "platform/ffmpeg/ffmpeg_support.h"

namespace kv::platform::media {

struct VideoFrame::Data {
    detail::Frame frame;
};

namespace detail {
/// The muxer for a container ("ipod" for m4v and m4a).
const char* muxerName(Container container);
} // namespace detail

} // namespace kv::platform::media
