// Image checks on the platform image service.
#include "image/image_codec.h"
#include "platform/platform_error.h"
#include "validate/validator.h"

#include <optional>

namespace kv::Validator {

ValidationStatus validateImage(const std::filesystem::path& file) {
    std::optional<image::ImageSource> source;
    try {
        source.emplace(image::ImageSource::open(file));
    } catch (const std::exception&) {
        return ValidationStatus::failed("CGImageSource cannot open file");
    }
    try {
        if (source->frameCount() < 1)
            return ValidationStatus::failed("CGImageSource reports zero images");
        // Decode all of image 0's data: a damaged or cut-off body fails here even when the header
        // reads.
        source->verifyDecodes(0);
    } catch (const std::exception&) {
        return ValidationStatus::failed("First image failed to decode");
    }
    return ValidationStatus::passed();
}

} // namespace kv::Validator
