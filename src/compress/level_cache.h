// The encoded bytes of recently estimated images, so that compressing at a level just estimated
// writes exactly the bytes the estimate measured instead of encoding again.
#pragma once

#include "compress/compression_level.h"
#include "formats/supported_format.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace kv::compress {

using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

/// One process-wide cache of the last few files' levels, keyed by the file's path, size and
/// modification time (a changed file misses) and the target format. Thread-safe.
namespace LevelCache {

/// Keeps `bytes` as `level` of `file` encoded into `target`.
void store(const std::filesystem::path& file, SupportedFormat target, CompressionLevel level,
           SharedBytes bytes);

/// The bytes kept for this file as it is now, or none.
SharedBytes find(const std::filesystem::path& file, SupportedFormat target, CompressionLevel level);

/// Forgets everything (tests).
void clear();

} // namespace LevelCache

} // namespace kv::compress
