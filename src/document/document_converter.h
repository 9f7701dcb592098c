// Converts documents; tables and subtitles are handed to the data converter.
#pragma once

#include <filesystem>

#include "engine/convert_request.h"

namespace kv::DocumentConverter {

/// Every document, data and subtitle pair except the PDF split.
std::filesystem::path convert(const ConvertRequest& request);
/// One PDF per page in a new folder.
std::filesystem::path splitPDF(const ConvertRequest& request);

}  // namespace kv::DocumentConverter
