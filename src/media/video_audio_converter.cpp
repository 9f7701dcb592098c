// Converts video and audio through the platform media service.
#include "media/video_audio_converter.h"

#include "engine/conversion_error.h"

namespace kv::VideoAudioConverter {

std::filesystem::path convertVideo(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

std::filesystem::path convertAudio(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

std::filesystem::path videoToGIF(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

std::filesystem::path gifToVideo(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

std::filesystem::path extractAudio(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

}  // namespace kv::VideoAudioConverter
