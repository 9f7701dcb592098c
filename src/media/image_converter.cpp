// Converts images through the platform image service.
#include "media/image_converter.h"

#include "engine/conversion_error.h"

namespace kv::ImageConverter {

std::filesystem::path convert(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

std::filesystem::path convertPDFPages(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

}  // namespace kv::ImageConverter
