// Turns a file on disk into a format and a fresh job: by name first, then by content type.
#pragma once

#include "engine/job.h"
#include "formats/supported_format.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kv::FileDetector {

/// The source format of a file, or none. Never throws.
std::optional<SupportedFormat> detect(const std::filesystem::path& file);
/// The size in bytes, 0 when unknown.
std::int64_t fileSize(const std::filesystem::path& file);
/// A fresh pending job for the file, or none when it is not recognised.
std::optional<ConversionJob> createJob(const std::filesystem::path& file);
/// Maps a content type (a MIME type from GIO) to a format by conformance, in a fixed order.
std::optional<SupportedFormat> formatFromContentType(std::string_view contentType);

} // namespace kv::FileDetector
