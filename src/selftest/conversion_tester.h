// The self-test: seed files converted through the whole conversion matrix, every output validated.
#pragma once

#include "engine/convert_request.h"
#include "engine/job.h"
#include "formats/supported_format.h"
#include "validate/validator.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kv::ConversionTester {

/// One conversion attempt.
struct Result {
    SupportedFormat source = SupportedFormat::png;
    SupportedFormat target = SupportedFormat::png;
    bool success = false;
    std::optional<std::string> error; // the error's description when the engine failed
    std::int64_t durationMs = 0;
    std::int64_t outputBytes = 0;
    std::optional<std::filesystem::path> outputURL;
    ValidationStatus validation = ValidationStatus::skipped();
};

/// The results of one run, in order.
struct Summary {
    std::vector<Result> results;

    std::size_t passed() const;
    std::size_t failed() const;
    std::size_t validationPassed() const;
    std::vector<Result> validationFailed() const;
    /// The plain-text report: counts, the breakdown by category, then the failures.
    std::string consoleReport() const;
};

/// Runs one conversion as the engine does for a user; by default `ConversionEngine::convert`.
using Engine =
    std::function<std::filesystem::path(const ConversionJob&, const std::filesystem::path&)>;

struct Options {
    Engine engine = {};
    /// Makes the seeds in the working folder; by default every seed of `SeedFiles::makeAllSeeds`.
    std::function<std::map<SupportedFormat, std::filesystem::path>(const std::filesystem::path&)>
        makeSeeds = {};
    /// Called after every attempt with the running count (the progress line).
    std::function<void(const Result&, std::size_t)> progressTick = {};
};

/// The whole run: seeds, then every reachable format converted to each of its targets, outputs fed
/// back as new sources. A seed that cannot be made ends the run with one failed result.
Summary runAll(const Options& options = {});

/// One attempt: `source` converted to `target` into `root`/"<source>__to__<target>", then the
/// output validated.
Result runOne(SupportedFormat sourceFmt, const std::filesystem::path& source,
              SupportedFormat target, const std::filesystem::path& root, const Engine& engine = {});

/// Whether a fresh output should replace `existing` as the fixture of `format`: always when there
/// is none; for video formats when it has more audio tracks (the audio extraction needs sound).
bool shouldCache(const std::filesystem::path& newOutput, SupportedFormat format,
                 const std::optional<std::filesystem::path>& existing);

/// 1 when any conversion failed or any output was bad, else 0.
int exitStatus(const Summary& summary);

/// The "--test" mode: the run on a worker thread, the report on stdout, the exit status.
int run();

} // namespace kv::ConversionTester
