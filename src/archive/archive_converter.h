// Repacks one archive format into another through a staging folder.
#pragma once

#include <filesystem>

#include "engine/convert_request.h"

namespace kv::ArchiveConverter {

std::filesystem::path convert(const ConvertRequest& request);

}  // namespace kv::ArchiveConverter
