// The one entry point of every conversion.
#include "engine/dispatch/conversion_engine.h"

#include "base/size_text.h"
#include "engine/conversion_error.h"
#include "engine/dispatch/routing.h"
#include "engine/interruption.h"
#include "engine/leftovers.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "engine/source_file.h"
#include "validate/validator.h"

#include <chrono>
#include <mutex>
#include <set>
#include <sys/stat.h>

namespace kv::ConversionEngine {
namespace {

constexpr std::string_view kCategory = "Engine";

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::size_t visibleEntryCount(const std::filesystem::path& folder) {
    std::size_t count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename().string().rfind('.', 0) != 0)
            ++count;
    }
    return error ? 0 : count;
}

// Pending outputs left in an output folder by killed processes, looked for once per folder and
// process (a batch of thousands into one large folder lists it once).
void sweepOnce(const std::filesystem::path& folder) {
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        const std::lock_guard guard(lock);
        if (!swept.insert(normalisedPathKey(std::filesystem::absolute(folder).string())).second)
            return;
    }
    Leftovers::sweepFolder(folder);
}

void checkFolder(const std::filesystem::path& folder) {
    if (visibleEntryCount(folder) == 0) {
        ConversionLogger::shared().error("Output folder is empty \u2014 no pages were written",
                                         kCategory);
        throw ConversionError::emptyOutput();
    }
}

// Emptiness and validation of one output file; `shownAs` names it in the log.
void checkFile(const std::filesystem::path& file, const std::filesystem::path& shownAs,
               SupportedFormat target) {
    auto& log = ConversionLogger::shared();
    const auto size = std::filesystem::file_size(file); // a failing read is the failure
    if (size == 0) {
        log.warning("Output file is empty (0 bytes)", kCategory);
        throw ConversionError::emptyOutput();
    }
    const ValidationStatus status = Validator::validate(file, target);
    if (status.isFailed()) {
        log.error("Output failed validation: " + status.reason, kCategory,
                  shownAs.filename().string());
        throw ConversionError::corruptFile("The converted file didn't come out valid (" +
                                           status.reason + "). The original is untouched.");
    }
}

std::filesystem::path runAndCheck(ConverterOperation operation, const ConversionJob& job,
                                  SupportedFormat target, const std::filesystem::path& outputDir,
                                  std::function<void(double)> progress, std::stop_token stop,
                                  std::chrono::steady_clock::time_point start) {
    auto& log = ConversionLogger::shared();
    checkSourceFile(job.sourceURL);

    ConvertRequest request{
        .source = job.sourceURL,
        .sourceFormat = job.detectedFormat,
        .target = target,
        .outputDir = outputDir,
        .quality = job.imageQuality.value_or(0.92),
        .maxEdge = job.imageMaxEdge,
        .stripMetadata = job.stripMetadata,
        .audioBitrate = job.audioBitrate,
        .gifFPS = job.videoGifFPS.value_or(10.0),
        .gifMaxWidth = job.videoGifWidth.value_or(480),
        .progress = std::move(progress),
        .stop = std::move(stop),
    };
    if (operation == nullptr)
        operation = Routing::operationFor(job.detectedFormat, target);
    if (operation == nullptr) {
        throw ConversionError::unsupportedConversion(displayName(job.detectedFormat),
                                                     displayName(target));
    }

    // The output is checked under its pending name, so that only a good one ever appears under
    // its final name, even when the process dies during the check.
    PublishCheck check(outputDir,
                       [&](const std::filesystem::path& pending,
                           const std::filesystem::path& destination, PendingOutput::Kind kind) {
                           if (kind == PendingOutput::Kind::folder) {
                               checkFolder(pending);
                           } else {
                               checkFile(pending, destination, target);
                           }
                       });
    std::filesystem::path output = operation(request);
    // A converter returns the name it reserved; the publish may have taken the next free one.
    const bool checked = !check.published().empty();
    if (checked)
        output = check.published().back();

    if (isFolderTarget(target)) {
        if (!checked)
            checkFolder(output);
        log.success("Completed in " + formatSeconds1(secondsSince(start)) + "s \u2192 folder (" +
                        std::to_string(visibleEntryCount(output)) + " files)",
                    kCategory, output.filename().string());
        return output;
    }

    if (!checked) {
        try {
            checkFile(output, output, target);
        } catch (const ConversionError& failure) {
            if (failure.kind() == ConversionError::Kind::corruptFile) {
                std::error_code ignored;
                std::filesystem::remove(output, ignored);
            }
            throw;
        }
    }
    const auto size = std::filesystem::file_size(output);
    log.success("Completed in " + formatSeconds1(secondsSince(start)) + "s \u2192 " +
                    formatByteCount(static_cast<std::int64_t>(size)),
                kCategory, output.filename().string());
    return output;
}

} // namespace

std::filesystem::path convert(const ConversionJob& job, const std::filesystem::path& outputDir,
                              std::function<void(double)> progressHandler, std::stop_token stop) {
    return convertWith(nullptr, job, outputDir, std::move(progressHandler), std::move(stop));
}

std::filesystem::path convertWith(ConverterOperation operation, const ConversionJob& job,
                                  const std::filesystem::path& outputDir,
                                  std::function<void(double)> progressHandler,
                                  std::stop_token stop) {
    auto& log = ConversionLogger::shared();
    if (!job.targetFormat) {
        log.error("No target format selected", kCategory, job.fileName);
        throw ConversionError::noTargetSelected();
    }
    const SupportedFormat target = *job.targetFormat;
    const std::string pair = std::string(displayName(job.detectedFormat)) + " \u2192 " +
                             std::string(displayName(target));
    log.info("Starting: " + pair, kCategory, job.fileName);

    std::error_code error;
    std::filesystem::create_directories(outputDir, error);
    if (error) {
        log.error("Cannot create output directory", kCategory,
                  outputDir.string() + " \u2014 " + error.message());
        throw ConversionError::failedToCreateOutput();
    }

    sweepOnce(outputDir);

    // The caller's stop request and SIGINT/SIGTERM both reach the converter through one token.
    std::stop_source interrupt;
    const std::stop_callback forward(stop, [&interrupt] { interrupt.request_stop(); });
    const Interruption::Scope interruptible(interrupt);

    const auto start = std::chrono::steady_clock::now();
    try {
        return runAndCheck(operation, job, target, outputDir, std::move(progressHandler),
                           interrupt.get_token(), start);
    } catch (const std::exception& failure) {
        log.error("Failed after " + formatSeconds1(secondsSince(start)) + "s: " + failure.what(),
                  rawValue(categoryOf(job.detectedFormat)), job.fileName + " (" + pair + ")");
        throw;
    }
}

} // namespace kv::ConversionEngine
