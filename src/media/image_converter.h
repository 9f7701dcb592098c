// Converts images through the platform image service.
#pragma once

#include <filesystem>

#include "engine/convert_request.h"

namespace kv::ImageConverter {

std::filesystem::path convert(const ConvertRequest& request);
std::filesystem::path convertPDFPages(const ConvertRequest& request);

}  // namespace kv::ImageConverter
