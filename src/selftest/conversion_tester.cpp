// The self-test run, its report and the "--test" mode.
#include "selftest/conversion_tester.h"

#include "base/utf8.h"
#include "engine/dispatch/conversion_engine.h"
#include "selftest/media_seeds.h"
#include "selftest/seed_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

namespace kv::ConversionTester {
namespace {

namespace fs = std::filesystem;
using F = SupportedFormat;

bool isVideoFormat(F format) {
    return format == F::mp4 || format == F::mov || format == F::m4v || format == F::avi ||
           format == F::webm;
}

// Pads with spaces to `width` characters (code points, not bytes); longer text is kept whole.
std::string padded(std::string_view text, std::size_t width) {
    std::size_t characters = 0;
    for (const unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++characters;
    std::string out(text);
    if (characters < width)
        out.append(width - characters, ' ');
    return out;
}

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    });
    return out;
}

std::string pairText(const Result& result) {
    return std::string(displayName(result.source)) + " \u2192 " +
           std::string(displayName(result.target));
}

Engine defaultEngine() {
    return [](const ConversionJob& job, const fs::path& outDir) {
        return ConversionEngine::convert(job, outDir, [](double) {});
    };
}

void printProgress(const Result& result, std::size_t count) {
    const char* mark = !result.success                ? "\u2717"
                       : result.validation.isFailed() ? "\u26A0"
                                                      : "\u2713";
    std::string line = "[" + std::to_string(count) + "] " + mark + " " + pairText(result) + "  " +
                       std::to_string(result.durationMs) + " ms\n";
    std::fputs(line.c_str(), stderr);
}

} // namespace

std::size_t Summary::passed() const {
    return static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const Result& r) { return r.success; }));
}

std::size_t Summary::failed() const {
    return results.size() - passed();
}

std::size_t Summary::validationPassed() const {
    return static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const Result& r) {
            return r.validation.kind == ValidationStatus::Kind::passed;
        }));
}

std::vector<Result> Summary::validationFailed() const {
    std::vector<Result> bad;
    std::copy_if(results.begin(), results.end(), std::back_inserter(bad),
                 [](const Result& r) { return r.validation.isFailed(); });
    return bad;
}

std::string Summary::consoleReport() const {
    std::vector<std::string> lines;
    lines.emplace_back("");
    lines.emplace_back("=== Kelvane \u2014 conversion test summary ===");
    lines.push_back("Total conversions:  " + std::to_string(results.size()));
    lines.push_back("Engine passed:      " + std::to_string(passed()));
    lines.push_back("Engine failed:      " + std::to_string(failed()));
    lines.push_back("Output verified:    " + std::to_string(validationPassed()) + " / " +
                    std::to_string(passed()));
    lines.push_back("Output bad:         " + std::to_string(validationFailed().size()));

    for (const auto category : allFileCategories()) {
        std::vector<const Result*> inCategory;
        for (const auto& result : results)
            if (categoryOf(result.source) == category)
                inCategory.push_back(&result);
        if (inCategory.empty())
            continue;
        const auto ok = std::count_if(inCategory.begin(), inCategory.end(),
                                      [](const Result* r) { return r->success; });
        const auto verified =
            std::count_if(inCategory.begin(), inCategory.end(), [](const Result* r) {
                return r->validation.kind == ValidationStatus::Kind::passed;
            });
        lines.push_back(upper(rawValue(category)) + "  engine pass: " + std::to_string(ok) +
                        "  fail: " + std::to_string(static_cast<long>(inCategory.size()) - ok) +
                        "   validated: " + std::to_string(verified) + "/" + std::to_string(ok));
        // Sources in catalogue order; each source's labels in the order they ran.
        for (const auto source : allFormats()) {
            std::string line;
            for (const Result* r : inCategory) {
                if (r->source != source)
                    continue;
                const char* mark = !r->success                ? "\u2717"
                                   : r->validation.isFailed() ? "\u26A0"
                                                              : "\u2713";
                line += (line.empty() ? "" : "  ") + std::string(mark) +
                        std::string(displayName(r->target));
            }
            if (!line.empty())
                lines.push_back("  " + padded(displayName(source), 10) + "  " + line);
        }
    }

    lines.emplace_back("=== Engine failures ===");
    for (const auto& result : results)
        if (!result.success)
            lines.push_back("  \u2717 " + pairText(result) + ": " +
                            result.error.value_or("(no error message)"));
    lines.emplace_back("=== Output validation failures ===");
    for (const auto& result : results)
        if (result.validation.isFailed())
            lines.push_back("  \u26A0 " + pairText(result) + ": " + result.validation.reason);

    std::string report;
    for (std::size_t i = 0; i < lines.size(); ++i)
        report += (i == 0 ? "" : "\n") + lines[i];
    return report;
}

Result runOne(SupportedFormat sourceFmt, const fs::path& source, SupportedFormat target,
              const fs::path& root, const Engine& engine) {
    const auto start = std::chrono::steady_clock::now();
    Result result;
    result.source = sourceFmt;
    result.target = target;
    const fs::path outDir =
        root / (std::string(rawValue(sourceFmt)) + "__to__" + std::string(rawValue(target)));
    try {
        fs::create_directories(outDir);
        ConversionJob job;
        job.sourceURL = source;
        job.fileName = source.filename().string();
        std::error_code error;
        const auto size = fs::file_size(source, error);
        job.fileSize = error ? 0 : static_cast<std::int64_t>(size);
        job.detectedFormat = sourceFmt;
        job.targetFormat = target;
        const auto output = (engine ? engine : defaultEngine())(job, outDir);
        result.success = true;
        result.outputURL = output;
        const auto bytes = fs::file_size(output, error);
        result.outputBytes = error ? 0 : static_cast<std::int64_t>(bytes);
    } catch (const std::exception& failure) {
        result.error = failure.what();
    }
    const auto end = std::chrono::steady_clock::now();
    result.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
    if (result.success)
        result.validation = Validator::validate(*result.outputURL, target);
    return result;
}

bool shouldCache(const fs::path& newOutput, SupportedFormat format,
                 const std::optional<fs::path>& existing) {
    if (!existing)
        return true;
    if (!isVideoFormat(format))
        return false;
    return SeedFiles::audioTrackCount(*existing) < SeedFiles::audioTrackCount(newOutput);
}

Summary runAll(const Options& options) {
    Summary summary;
    fs::path root;
    std::map<F, fs::path> fixtures;
    try {
        root = SeedFiles::makeTempRoot();
        fixtures = options.makeSeeds ? options.makeSeeds(root) : SeedFiles::makeAllSeeds(root);
    } catch (const std::exception& failure) {
        Result failed;
        failed.error = std::string("Seed generation failed: ") + failure.what();
        summary.results.push_back(failed);
        return summary;
    }

    std::set<F> tested;
    while (true) {
        const auto all = allFormats();
        const auto next = std::find_if(all.begin(), all.end(), [&](F format) {
            return fixtures.contains(format) && !tested.contains(format);
        });
        if (next == all.end())
            break;
        const F source = *next;
        tested.insert(source);
        const fs::path fixture = fixtures.at(source);
        for (const F target : possibleConversions(source)) {
            auto result = runOne(source, fixture, target, root, options.engine);
            summary.results.push_back(result);
            if (options.progressTick)
                options.progressTick(result, summary.results.size());
            if (!result.success || isFolderTarget(target))
                continue;
            const auto existing = fixtures.find(target);
            const std::optional<fs::path> current =
                existing == fixtures.end() ? std::nullopt : std::optional(existing->second);
            if (shouldCache(*result.outputURL, target, current))
                fixtures[target] = *result.outputURL;
        }
    }
    return summary;
}

int exitStatus(const Summary& summary) {
    return summary.failed() > 0 || !summary.validationFailed().empty() ? 1 : 0;
}

int run() {
    std::optional<Summary> summary;
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
        try {
            summary = runAll({.engine = {}, .makeSeeds = {}, .progressTick = &printProgress});
        } catch (const std::exception& failure) {
            std::fputs((std::string("self-test stopped: ") + failure.what() + "\n").c_str(),
                       stderr);
        }
    });
    worker.join();
    if (!summary) {
        std::fputs("Harness ended without summary\n", stdout);
        return 2;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fputs((summary->consoleReport() + "\n").c_str(), stdout);
    std::fputs(
        ("self-test finished in " + std::to_string(static_cast<long>(seconds)) + " s\n").c_str(),
        stderr);
    std::fflush(stdout);
    return exitStatus(*summary);
}

} // namespace kv::ConversionTester
