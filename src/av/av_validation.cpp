// Audio and video checks on the platform media service.
#include "av/media_service.h"
#include "base/size_text.h"
#include "validate/validator.h"

#include <array>
#include <cmath>
#include <exception>

namespace kv::Validator {
namespace {

// avformat opens still images too (as "image2", "png_pipe", …): those are no audio or video asset.
bool isStillImageContainer(std::string_view name) {
    constexpr std::string_view kPipe = "_pipe";
    if (name.size() >= kPipe.size() && name.substr(name.size() - kPipe.size()) == kPipe)
        return true;
    return name == "image2" || name == "gif" || name == "apng" || name == "ico" || name == "tty";
}

} // namespace

ValidationStatus validateAVAsset(const std::filesystem::path& file, MediaType requireMediaType) {
    av::Asset asset;
    try {
        using av::TryDecoding;
        asset = av::loadAsset(file, requireMediaType == MediaType::video ? TryDecoding::video
                                                                         : TryDecoding::audio);
    } catch (const std::exception& failure) {
        return ValidationStatus::failed(std::string("AVAsset load failed: ") + failure.what());
    }
    if (isStillImageContainer(asset.container))
        return ValidationStatus::failed("AVAsset load failed: the file is a still image (" +
                                        asset.container + ")");
    if (!(std::isfinite(asset.duration) && asset.duration > 0))
        return ValidationStatus::failed("AVAsset duration is " + formatDecimal(asset.duration));
    if (requireMediaType == MediaType::video && asset.videoTracks.empty())
        return ValidationStatus::failed("AVAsset has no vide tracks");
    if (requireMediaType == MediaType::audio && asset.audioTracks.empty())
        return ValidationStatus::failed("AVAsset has no soun tracks");
    // A container that opens can still hold a stream that does not decode.
    if (!asset.firstFrameDecodes)
        return ValidationStatus::failed(std::string("AVAsset load failed: the ") +
                                        (requireMediaType == MediaType::video ? "video" : "audio") +
                                        " track does not decode");
    return ValidationStatus::passed();
}

} // namespace kv::Validator
