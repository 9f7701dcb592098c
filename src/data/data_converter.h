// Converts tables (CSV, TSV, JSON) and subtitles (SRT, WebVTT).
#pragma once

#include "engine/convert_request.h"

#include <filesystem>

namespace kv::DataConverter {

std::filesystem::path convert(const ConvertRequest& request);

} // namespace kv::DataConverter
