// What the engine hands to a converter operation.
#pragma once

#include "formats/supported_format.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>

namespace kv {

struct ConvertRequest {
    std::filesystem::path source;
    SupportedFormat sourceFormat = SupportedFormat::png;
    SupportedFormat target = SupportedFormat::png;
    std::filesystem::path outputDir;
    double quality = 0.92;      // lossy image quality, 0…1
    std::optional<int> maxEdge; // longest-edge cap for image output
    bool stripMetadata = false;
    std::optional<int> audioBitrate; // bits per second for lossy audio
    double gifFPS = 10.0;
    int gifMaxWidth = 480;
    std::function<void(double)> progress = {}; // only media operations report
    std::stop_token stop = {};
};

/// A converter operation: writes the output and returns where.
using ConverterOperation = std::filesystem::path (*)(const ConvertRequest&);

} // namespace kv
