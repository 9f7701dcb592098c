// The media module's entry: the addresses of its converters, checks and probes.
#include "media/image_converter.h"
#include "media/video_audio_converter.h"
#include "media_module/media_module.h"
#include "platform/capability_probes.h"

extern "C" __attribute__((visibility("default"))) const kv::media_module::Table* kelvane_media_module() {
    using namespace kv;
    static const media_module::Table table{
        .version = media_module::kTableVersion,
        .imageConvert = &ImageConverter::convert,
        .convertPDFPages = &ImageConverter::convertPDFPages,
        .convertVideo = &VideoAudioConverter::convertVideo,
        .convertAudio = &VideoAudioConverter::convertAudio,
        .videoToGIF = &VideoAudioConverter::videoToGIF,
        .gifToVideo = &VideoAudioConverter::gifToVideo,
        .extractAudio = &VideoAudioConverter::extractAudio,
        .validateImage = &Validator::validateImage,
        .validatePDF = &Validator::validatePDF,
        .validateAVAsset = &Validator::validateAVAsset,
        .probeWritableImageTypes = &platform::probeWritableImageTypes,
        .probeAudioWriters = &platform::probeAudioWriters,
    };
    return &table;
}
