// Converts tables (CSV, TSV, JSON) and subtitles (SRT, WebVTT).
#include "data/data_converter.h"

#include "engine/conversion_error.h"

namespace kv::DataConverter {

std::filesystem::path convert(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

}  // namespace kv::DataConverter
