// Converts documents; tables and subtitles are handed to the data converter.
#include "document/document_converter.h"

#include "data/data_converter.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <string>

namespace kv::DocumentConverter {
namespace {

bool isDataFormat(SupportedFormat format) {
    using F = SupportedFormat;
    return format == F::csv || format == F::tsv || format == F::json || format == F::srt || format == F::vtt;
}

}  // namespace

std::filesystem::path convert(const ConvertRequest& request) {
    ConversionLogger::shared().info("Document: " + std::string(displayName(request.sourceFormat)) + " \u2192 " +
                                        std::string(displayName(request.target)),
                                    "Document", request.source.filename().string());
    if (isDataFormat(request.sourceFormat)) return DataConverter::convert(request);
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

std::filesystem::path splitPDF(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

}  // namespace kv::DocumentConverter
