// Converts video and audio through the platform media service.
#pragma once

#include "engine/convert_request.h"

#include <filesystem>

namespace kv::VideoAudioConverter {

std::filesystem::path convertVideo(const ConvertRequest& request);
std::filesystem::path convertAudio(const ConvertRequest& request);
std::filesystem::path videoToGIF(const ConvertRequest& request);
std::filesystem::path gifToVideo(const ConvertRequest& request);
std::filesystem::path extractAudio(const ConvertRequest& request);

} // namespace kv::VideoAudioConverter
