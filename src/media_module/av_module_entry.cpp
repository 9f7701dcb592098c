// The video and audio module's entry: the addresses of its converters, check and probe.
#include "av/audio_writers.h"
#include "av/video_audio_converter.h"
#include "media_module/media_module.h"
#include "selftest/media_seeds.h"

extern "C" __attribute__((visibility("default"))) const kv::media_module::AVTable*
kelvane_av_module() {
    using namespace kv;
    static const media_module::AVTable table{
        .version = media_module::kTableVersion,
        .convertVideo = &VideoAudioConverter::convertVideo,
        .convertAudio = &VideoAudioConverter::convertAudio,
        .videoToGIF = &VideoAudioConverter::videoToGIF,
        .gifToVideo = &VideoAudioConverter::gifToVideo,
        .extractAudio = &VideoAudioConverter::extractAudio,
        .validateAVAsset = &Validator::validateAVAsset,
        .probeAudioWriters = &av::probeAudioWriters,
        .mediaDuration = &compress::mediaDuration,
        .mediaBitrate = &compress::mediaBitrate,
        .mediaAudioChannels = &compress::mediaAudioChannels,
        .transcodeMedia = &compress::transcodeMedia,
        .videoThumbnail = &Thumbnails::videoFrame,
        .writeSeedMedia = &SeedFiles::writeSeedMedia,
        .audioTrackCount = &SeedFiles::audioTrackCount,
    };
    return &table;
}
