// Repacks one archive format into another through a staging folder.
#include "archive/archive_converter.h"

#include "engine/conversion_error.h"

namespace kv::ArchiveConverter {

std::filesystem::path convert(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat), displayName(request.target));
}

}  // namespace kv::ArchiveConverter
