// Converts fonts between TrueType/OpenType, WOFF and WOFF2.
#pragma once

#include <filesystem>

#include "engine/convert_request.h"

namespace kv::FontConverter {

std::filesystem::path convert(const ConvertRequest& request);

}  // namespace kv::FontConverter
