// Shrinking images, video and audio at a compression level, and estimating each level first.
#pragma once

#include "compress/compression_level.h"
#include "formats/supported_format.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

namespace kv::Compressor {

/// The format a compressed copy of `source` has, or none when it cannot be compressed.
std::optional<SupportedFormat> compressionTarget(SupportedFormat source);

/// One row per level that saves more than 2 %, sorted maximum first; never throws (an empty list
/// means nothing is worth offering). Images are encoded at every level and measured; video and
/// audio rows are predicted from duration and bit rate. Blocking; a stop request ends it early
/// with no rows.
std::vector<CompressionEstimate> estimates(const std::filesystem::path& file,
                                           SupportedFormat format, std::stop_token stop = {});

struct CompressRequest {
    std::filesystem::path source;
    SupportedFormat format{};
    CompressionLevel level{};
    std::filesystem::path outputDir;
    bool replacingOriginal = false;            ///< no " (compressed)" suffix on the name
    std::function<void(double)> progress = {}; ///< media only, 0…0.99, from a worker thread
    std::stop_token stop = {};
};

/// Writes the compressed copy under a reserved name and returns its path. Throws ConversionError:
/// unsupportedConversion (to "compressed"), conversionFailed, corruptFile when the result is not
/// smaller than the source (the output is then deleted), failedToLoadFile, exportSessionFailed,
/// cancelled.
std::filesystem::path compress(const CompressRequest& request);

} // namespace kv::Compressor
