// One file a user wants converted, and its lifecycle state.
#pragma once

#include "base/uuid.h"
#include "formats/supported_format.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

enum class ConversionStatus { pending, converting, completed, failed };

/// "Pending", "Converting", "Completed", "Failed".
std::string_view rawValue(ConversionStatus status);

struct ConversionJob {
    Uuid id = Uuid::random();
    std::filesystem::path sourceURL;
    std::string fileName;
    std::int64_t fileSize = 0;
    SupportedFormat detectedFormat = SupportedFormat::png;
    std::optional<SupportedFormat> targetFormat;
    ConversionStatus status = ConversionStatus::pending;
    double progress = 0.0;
    std::optional<std::filesystem::path> outputURL;
    std::optional<std::int64_t> outputSize;
    std::optional<std::string> errorMessage;
    std::optional<std::filesystem::path> customOutputDir;
    std::optional<double> imageQuality; // absent means 0.92
    std::optional<int> imageMaxEdge;    // absent means no cap
    bool stripMetadata = false;
    std::optional<int> audioBitrate;   // absent means the converter's default
    std::optional<double> videoGifFPS; // absent means 10.0
    std::optional<int> videoGifWidth;  // absent means 480

    /// "2 MB → 1 MB · −50%"; absent without an output size or with an empty input.
    std::optional<std::string> sizeDeltaFormatted() const;

    friend bool operator==(const ConversionJob&, const ConversionJob&) = default;
};

} // namespace kv
