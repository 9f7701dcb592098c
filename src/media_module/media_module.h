// The table of entry points that the media module (kelvane-media.so) hands to the executable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/convert_request.h"
#include "validate/validator.h"

namespace kv::media_module {

/// Bumped whenever the table changes; the executable refuses a module of another version.
inline constexpr int kTableVersion = 1;

struct Table {
    int version;
    ConverterOperation imageConvert;
    ConverterOperation convertPDFPages;
    ConverterOperation convertVideo;
    ConverterOperation convertAudio;
    ConverterOperation videoToGIF;
    ConverterOperation gifToVideo;
    ConverterOperation extractAudio;
    ValidationStatus (*validateImage)(const std::filesystem::path&);
    ValidationStatus (*validatePDF)(const std::filesystem::path&, int, PDFBackgroundRequirement);
    ValidationStatus (*validateAVAsset)(const std::filesystem::path&, MediaType);
    std::set<std::string> (*probeWritableImageTypes)();
    std::vector<std::uint32_t> (*probeAudioWriters)();
};

}  // namespace kv::media_module

/// The module's one exported entry.
extern "C" const kv::media_module::Table* kelvane_media_module();
