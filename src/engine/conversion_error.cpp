// All user-facing wording of conversion errors lives here.
#include "engine/conversion_error.h"

namespace kv {

ConversionError ConversionError::unsupportedConversion(std::string_view from, std::string_view to) {
    return {Kind::unsupportedConversion, "Converting " + std::string(from) + " \u2192 " +
                                             std::string(to) + " is not supported."};
}
ConversionError ConversionError::exportSessionFailed(std::string_view detail) {
    return {Kind::exportSessionFailed, "Export failed: " + std::string(detail)};
}
ConversionError ConversionError::fileAccessDenied(std::string_view path) {
    return {Kind::fileAccessDenied,
            "Cannot access file at " + std::string(path) + ". Try re-adding the file."};
}
ConversionError ConversionError::corruptFile(std::string_view detail) {
    return {Kind::corruptFile, "File appears corrupt: " + std::string(detail)};
}
ConversionError ConversionError::failedToLoadFile() {
    return {Kind::failedToLoadFile,
            "Could not read the source file. It may be corrupted or in an unsupported variant."};
}
ConversionError ConversionError::unsupportedFormat() {
    return {Kind::unsupportedFormat, "This file format is not supported for conversion."};
}
ConversionError ConversionError::failedToCreateOutput() {
    return {Kind::failedToCreateOutput,
            "Could not create the output file. Check disk space and permissions."};
}
ConversionError ConversionError::conversionFailed() {
    return {Kind::conversionFailed, "Conversion failed unexpectedly."};
}
ConversionError ConversionError::emptyOutput() {
    return {Kind::emptyOutput, "Conversion produced an empty file."};
}
ConversionError ConversionError::cancelled() {
    return {Kind::cancelled, "Conversion was cancelled."};
}
ConversionError ConversionError::noTargetSelected() {
    return {Kind::noTargetSelected, "No target format selected."};
}

std::string notARegularFileText(std::string_view path) {
    return "Not a regular file: " + std::string(path) + ". Only files can be converted.";
}

} // namespace kv
