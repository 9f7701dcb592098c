// The one entry point of every conversion, whichever front end asks.
#pragma once

#include "engine/convert_request.h"
#include "engine/job.h"

#include <filesystem>
#include <functional>
#include <stop_token>

namespace kv::ConversionEngine {

/// Runs one conversion: target check, output folder, dispatch, emptiness check, validation and
/// log lines. Returns the output file, or the folder for page and split targets. Errors are
/// thrown to the caller after the failure summary is logged.
std::filesystem::path convert(const ConversionJob& job, const std::filesystem::path& outputDir,
                              std::function<void(double)> progressHandler = {},
                              std::stop_token stop = {});

/// The same sequence around a given operation instead of the routing table's (for tests).
std::filesystem::path convertWith(ConverterOperation operation, const ConversionJob& job,
                                  const std::filesystem::path& outputDir,
                                  std::function<void(double)> progressHandler = {},
                                  std::stop_token stop = {});

} // namespace kv::ConversionEngine
