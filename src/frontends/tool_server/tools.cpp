// The four tools: arguments in, a text result (or a tool failure) out.
#include "frontends/tool_server/tools.h"

#include "base/size_text.h"
#include "compress/compression_level.h"
#include "compress/compressor.h"
#include "engine/conversion_error.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "engine/source_file.h"
#include "formats/format_capabilities.h"
#include "formats/supported_format.h"

#include <algorithm>
#include <cstdlib>
#include <pwd.h>
#include <system_error>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unistd.h>
#include <vector>

namespace kv::ToolServer {
namespace {

using F = SupportedFormat;

constexpr std::string_view kListTool = "list_supported_conversions";
constexpr std::string_view kConvertTool = "convert_file";
constexpr std::string_view kEstimateTool = "estimate_compression";
constexpr std::string_view kCompressTool = "compress_file";

// Folder-producing targets that the tools never offer.
bool isPageTarget(SupportedFormat format) {
    return format == F::pdfPagePng || format == F::pdfPageJpeg || format == F::pdfSplit;
}

std::string lowercased(std::string_view text) {
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(out);
    return out;
}

std::string trimmedDotsAndSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(". ");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(". ");
    return std::string(text.substr(first, last - first + 1));
}

std::string joined(const std::vector<SupportedFormat>& formats) {
    std::string text;
    for (const auto format : formats) {
        if (!text.empty())
            text += ", ";
        text += rawValue(format);
    }
    return text;
}

const std::string* stringArgument(const Json& arguments, const char* key) {
    const auto value = arguments.find(key);
    if (value == arguments.end() || !value->is_string())
        return nullptr;
    return value->get_ptr<const std::string*>();
}

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) {
        return user->pw_dir;
    }
    return "/";
}

// The folder the result goes to: "output_dir" when given, else the source's own folder.
std::filesystem::path outputFolder(const Json& arguments, const std::filesystem::path& source) {
    if (const auto* dir = stringArgument(arguments, "output_dir"))
        return expandPath(*dir);
    return source.parent_path();
}

std::int64_t sizeOrZero(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

ToolResult listSupportedConversions(const Json& arguments) {
    const auto* extension = stringArgument(arguments, "file_extension");
    if (extension == nullptr) {
        std::string text;
        for (const auto category : allFileCategories()) {
            if (category == FileCategory::unknown)
                continue;
            std::vector<SupportedFormat> formats;
            for (const auto format : allFormats()) {
                if (categoryOf(format) == category && !isPageTarget(format))
                    formats.push_back(format);
            }
            if (formats.empty())
                continue;
            text += std::string(rawValue(category)) + ": " + joined(formats) + "\n";
        }
        text += "\nPass file_extension for the exact targets of one input type.";
        return {.text = text};
    }

    const std::string e = trimmedDotsAndSpaces(lowercased(*extension));
    const auto format = formatFromExtension(e);
    if (!format) {
        return ToolResult::failure("Kelvane doesn't recognise '." + e +
                                   "' as a convertible format. Call list_supported_conversions "
                                   "with no argument to see everything supported.");
    }
    std::vector<SupportedFormat> targets;
    for (const auto target : possibleConversions(*format)) {
        if (!isPageTarget(target) && FormatCapabilities::canProduce(target))
            targets.push_back(target);
    }
    const bool compressible = Compressor::compressionTarget(*format).has_value();
    return {.text = "." + e + " (" + std::string(displayName(*format)) + ", " +
                    std::string(rawValue(categoryOf(*format))) +
                    ")\nconvert_file targets: " + joined(targets) +
                    "\ncompress_file: " + (compressible ? "supported" : "not supported")};
}

ToolResult convertFile(const Json& arguments, const ToolContext& context) {
    const auto* sourceText = stringArgument(arguments, "source_path");
    if (sourceText == nullptr)
        return ToolResult::failure("source_path is required");
    const auto* targetText = stringArgument(arguments, "target_format");
    const auto target = targetText ? formatFromRawValue(lowercased(*targetText)) : std::nullopt;
    if (!target) {
        return ToolResult::failure(
            "target_format missing or unknown. Use list_supported_conversions to see valid ids.");
    }
    const auto source = expandPath(*sourceText);
    std::error_code error;
    if (!std::filesystem::exists(source, error))
        return ToolResult::failure("No file at " + source.string());
    auto job = FileDetector::createJob(source);
    if (!job)
        return ToolResult::failure(source.filename().string() +
                                   " is not a format Kelvane can read.");
    const auto valid = possibleConversions(job->detectedFormat);
    if (std::find(valid.begin(), valid.end(), *target) == valid.end()) {
        return ToolResult::failure(std::string(displayName(job->detectedFormat)) +
                                   " can't convert to " + std::string(rawValue(*target)) +
                                   ". Valid targets: " + joined(valid));
    }
    job->targetFormat = *target;
    try {
        const auto output = ConversionEngine::convert(*job, outputFolder(arguments, source),
                                                      context.progress, context.stop);
        const auto size = sizeOrZero(output);
        Json structured = Json::object();
        structured["output_path"] = output.string();
        structured["output_bytes"] = size;
        return {.text = "Converted " + job->fileName + " \u2192 " + output.string() + " (" +
                        formatByteCount(size) + ")",
                .structured = std::move(structured),
                .output = output};
    } catch (const std::exception& failure) {
        return ToolResult::failure(std::string("Conversion failed: ") + failure.what());
    }
}

// The source of a compression tool, detected; or the failure to report. Anything but a readable
// regular file is refused here, before an image or media library opens it.
struct CompressionSource {
    std::filesystem::path path;
    SupportedFormat format = F::png;
    std::optional<ToolResult> failure = {};
};

CompressionSource compressionSource(const std::string& argument) {
    CompressionSource source{.path = expandPath(argument)};
    const std::string noFile = "No readable file at " + source.path.string();
    try {
        checkSourceFile(source.path);
    } catch (const NotARegularFile& notAFile) {
        source.failure = ToolResult::failure(notAFile.what());
        return source;
    } catch (const std::exception&) {
        source.failure = ToolResult::failure(noFile);
        return source;
    }
    const auto format = FileDetector::detect(source.path);
    if (!format) {
        source.failure = ToolResult::failure(noFile);
    } else if (!Compressor::compressionTarget(*format)) {
        source.failure =
            ToolResult::failure(std::string(displayName(*format)) +
                                " files can't be compressed (only images, video, and audio can).");
    } else {
        source.format = *format;
    }
    return source;
}

ToolResult estimateCompression(const Json& arguments, const ToolContext& context) {
    const auto* sourceText = stringArgument(arguments, "source_path");
    if (sourceText == nullptr)
        return ToolResult::failure("source_path is required");
    const auto source = compressionSource(*sourceText);
    if (source.failure)
        return *source.failure;

    return estimateResult(source.path.filename().string(),
                          Compressor::estimates(source.path, source.format, context.stop));
}

ToolResult compressFile(const Json& arguments, const ToolContext& context) {
    const auto* sourceText = stringArgument(arguments, "source_path");
    if (sourceText == nullptr)
        return ToolResult::failure("source_path is required");
    const auto* levelText = stringArgument(arguments, "level");
    const std::string levelName = levelText ? *levelText : "balanced";
    const auto level = compressionLevelFromRaw(levelName);
    if (!level) {
        return ToolResult::failure("Unknown level '" + levelName +
                                   "'. Valid: maximum, high, balanced, small, tiny.");
    }
    const auto source = compressionSource(*sourceText);
    if (source.failure)
        return *source.failure;

    const auto originalSize = sizeOrZero(source.path);
    try {
        const auto output = Compressor::compress({.source = source.path,
                                                  .format = source.format,
                                                  .level = *level,
                                                  .outputDir = outputFolder(arguments, source.path),
                                                  .replacingOriginal = false,
                                                  .progress = context.progress,
                                                  .stop = context.stop});
        return compressResult(source.path.filename().string(), originalSize, sizeOrZero(output),
                              output);
    } catch (const std::exception& failure) {
        return ToolResult::failure(std::string("Compression failed: ") + failure.what());
    }
}

} // namespace

ToolResult estimateResult(const std::string& fileName,
                          const std::vector<CompressionEstimate>& rows) {
    if (rows.empty())
        return {.text = "Already well compressed \u2014 no level produced a meaningfully smaller "
                        "file."};
    std::string text = "Compression options for " + fileName + ":";
    Json levels = Json::array();
    for (const auto& row : rows) {
        text += "\n  " + std::string(rawValue(row.level)) + ": " + (row.isEstimate ? "~" : "") +
                formatByteCount(row.byteSize) + " (\u2212" + std::to_string(row.savedPercent()) +
                "%, " + qualityText(row) + ")";
        Json level = Json::object();
        level["level"] = rawValue(row.level);
        level["bytes"] = row.byteSize;
        level["saved_percent"] = row.savedPercent();
        level["estimated"] = row.isEstimate;
        levels.push_back(std::move(level));
    }
    Json structured = Json::object();
    structured["levels"] = std::move(levels);
    return {.text = text, .structured = std::move(structured)};
}

ToolResult compressResult(const std::string& fileName, std::int64_t originalSize,
                          std::int64_t outputSize, const std::filesystem::path& output) {
    // Truncated, not rounded, and not clamped.
    const auto saved =
        originalSize >= 1
            ? static_cast<std::int64_t>(static_cast<double>(originalSize - outputSize) /
                                        static_cast<double>(originalSize) * 100.0)
            : std::int64_t{0};
    Json structured = Json::object();
    structured["output_path"] = output.string();
    structured["output_bytes"] = outputSize;
    structured["saved_percent"] = saved;
    return {.text = "Compressed " + fileName + ": " + formatByteCount(originalSize) + " \u2192 " +
                    formatByteCount(outputSize) + " (\u2212" + std::to_string(saved) + "%) at " +
                    output.string(),
            .structured = std::move(structured),
            .output = output};
}

ToolResult ToolResult::failure(std::string text) {
    return {.text = std::move(text), .isError = true};
}

Json ToolResult::toJson() const {
    Json item = Json::object();
    item["type"] = "text";
    item["text"] = text;
    Json result = Json::object();
    result["content"] = Json::array({std::move(item)});
    if (structured)
        result["structuredContent"] = *structured;
    if (isError)
        result["isError"] = true;
    return result;
}

bool answersAtOnce(std::string_view name) {
    return name != kConvertTool && name != kEstimateTool && name != kCompressTool;
}

std::filesystem::path expandPath(std::string_view argument) {
    std::filesystem::path path;
    if (argument.starts_with('~') && (argument.size() == 1 || argument[1] == '/')) {
        path = homeFolder().string() + std::string(argument.substr(1));
    } else {
        path = std::string(argument);
    }
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute;
}

ToolResult callTool(std::string_view name, const Json& arguments, const ToolContext& context) {
    if (name == kListTool)
        return listSupportedConversions(arguments);
    if (name == kConvertTool)
        return convertFile(arguments, context);
    if (name == kEstimateTool)
        return estimateCompression(arguments, context);
    if (name == kCompressTool)
        return compressFile(arguments, context);
    return ToolResult::failure("Unknown tool '" + std::string(name) +
                               "'. Available: list_supported_conversions, convert_file, "
                               "estimate_compression, compress_file.");
}

} // namespace kv::ToolServer
