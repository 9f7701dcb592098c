// Converts fonts between TrueType/OpenType, WOFF and WOFF2.
#pragma once

#include "engine/convert_request.h"

#include <filesystem>

namespace kv::FontConverter {

/// Decodes the source into one SFNT and writes it in the target container; returns the output.
std::filesystem::path convert(const ConvertRequest& request);

} // namespace kv::FontConverter
