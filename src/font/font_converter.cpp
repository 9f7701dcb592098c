// Converts fonts between TrueType/OpenType, WOFF and WOFF2.
#include "font/font_converter.h"

#include "engine/conversion_error.h"

namespace kv::FontConverter {

std::filesystem::path convert(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

}  // namespace kv::FontConverter
