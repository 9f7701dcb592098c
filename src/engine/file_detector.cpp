// Turns a file on disk into a format and a fresh job: by name first, then by content type.
#include "engine/file_detector.h"

#include "platform/file_types.h"

#include <array>
#include <sys/stat.h>

namespace kv::FileDetector {
namespace {

using F = SupportedFormat;

struct TypeRule {
    const char* contentType;
    SupportedFormat format;
    bool onlyIfKnown;
};

// Tested in order; the first type the file conforms to wins. HTML and RTF come before plain text
// because shared-mime-info makes them subtypes of text/plain.
constexpr std::array<TypeRule, 26> kTypeRules{{
    {"image/png", F::png, false},
    {"image/jpeg", F::jpeg, false},
    {"image/tiff", F::tiff, false},
    {"image/bmp", F::bmp, false},
    {"image/gif", F::gif, false},
    {"image/heic", F::heic, true},
    {"image/heif", F::heif, true},
    {"image/webp", F::webp, false},
    {"image/vnd.microsoft.icon", F::ico, false},
    {"image/avif", F::avif, true},
    {"video/mp4", F::mp4, false},
    {"video/quicktime", F::mov, false},
    {"video/x-msvideo", F::avi, false},
    {"audio/mpeg", F::mp3, false},
    {"audio/x-aiff", F::aiff, false},
    {"audio/x-wav", F::wav, false},
    {"application/pdf", F::pdf, false},
    {"application/rtf", F::rtf, false},
    {"text/html", F::html, false},
    // JSON and its line-delimited forms are text too: before plain text.
    {"application/x-ndjson", F::json, true},
    {"application/jsonl", F::json, true},
    {"application/json", F::json, true},
    {"text/plain", F::txt, false},
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", F::docx, true},
    {"application/zip", F::zip, false},
    {"application/gzip", F::gzip, false},
}};

// Types that are text underneath but are never sources by type (an SVG is not a text file to us).
constexpr std::array<const char*, 1> kNeverByType{"image/svg+xml"};

std::string extensionOf(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

} // namespace

std::optional<SupportedFormat> formatFromContentType(std::string_view contentType) {
    for (const char* excluded : kNeverByType)
        if (platform::contentTypeIsA(contentType, excluded))
            return std::nullopt;
    for (const auto& rule : kTypeRules) {
        if (rule.onlyIfKnown && !platform::contentTypeIsKnown(rule.contentType))
            continue;
        if (platform::contentTypeIsA(contentType, rule.contentType))
            return rule.format;
    }
    return std::nullopt;
}

std::optional<SupportedFormat> detect(const std::filesystem::path& file) {
    if (auto byName = formatFromExtension(extensionOf(file)))
        return byName;
    const auto type = platform::contentTypeOf(file);
    if (!type)
        return std::nullopt;
    return formatFromContentType(*type);
}

std::int64_t fileSize(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        return 0;
    return static_cast<std::int64_t>(info.st_size);
}

std::optional<ConversionJob> createJob(const std::filesystem::path& file) {
    const auto format = detect(file);
    if (!format)
        return std::nullopt;
    ConversionJob job;
    job.sourceURL = file;
    job.fileName = file.filename().string();
    job.fileSize = fileSize(file);
    job.detectedFormat = *format;
    return job;
}

} // namespace kv::FileDetector
