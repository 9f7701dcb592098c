// The two automation actions, "Convert File" and "Convert File in Place", without their transport.
#include "frontends/automation/convert_actions.h"

#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "engine/staging_folder.h"
#include "frontends/in_place/folder_access.h"
#include "frontends/in_place/in_place_conversion.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace kv {
namespace {

namespace fs = std::filesystem;
using C = ConvertFormatChoice;

struct ChoiceRow {
    C choice;
    std::string_view raw;
    std::string_view label;
    SupportedFormat target; // pdf: the document target; images take pdf_image
};

constexpr std::array<ChoiceRow, 15> kChoices{{
    {C::jpeg, "jpeg", "JPEG", SupportedFormat::jpeg},
    {C::png, "png", "PNG", SupportedFormat::png},
    {C::heic, "heic", "HEIC", SupportedFormat::heic},
    {C::tiff, "tiff", "TIFF", SupportedFormat::tiff},
    {C::gif, "gif", "GIF", SupportedFormat::gif},
    {C::pdf, "pdf", "PDF", SupportedFormat::pdf},
    {C::mp4, "mp4", "MP4", SupportedFormat::mp4},
    {C::mov, "mov", "MOV", SupportedFormat::mov},
    {C::m4a, "m4a", "M4A (audio)", SupportedFormat::m4a},
    {C::wav, "wav", "WAV", SupportedFormat::wav},
    {C::aiff, "aiff", "AIFF", SupportedFormat::aiff},
    {C::txt, "txt", "Plain Text", SupportedFormat::txt},
    {C::html, "html", "HTML", SupportedFormat::html},
    {C::zip, "zip", "ZIP", SupportedFormat::zip},
    {C::tar, "tar", "TAR", SupportedFormat::tar},
}};

const ChoiceRow& row(C choice) {
    return kChoices[static_cast<std::size_t>(choice)];
}

bool isImageSource(SupportedFormat format) {
    return categoryOf(format) == FileCategory::image || format == SupportedFormat::pdfPagePng ||
           format == SupportedFormat::pdfPageJpeg;
}

std::vector<std::uint8_t> readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw fs::filesystem_error("Cannot read the converted file", file,
                                   std::make_error_code(std::errc::io_error));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw fs::filesystem_error("Cannot write the file", file,
                                   std::make_error_code(std::errc::io_error));
}

// A name for the staged copy: the last component only, so a name such as "../../x" cannot
// write outside the staging folder.
std::string safeFileName(const std::string& name) {
    std::string last = fs::path(name).filename().string();
    if (last.empty() || last == "." || last == "..")
        return "file";
    return last;
}

} // namespace

std::string_view rawValue(ConvertFormatChoice choice) {
    return row(choice).raw;
}
std::string_view displayLabel(ConvertFormatChoice choice) {
    return row(choice).label;
}

std::optional<ConvertFormatChoice> convertFormatChoiceFromRaw(std::string_view raw) {
    for (const auto& r : kChoices)
        if (r.raw == raw)
            return r.choice;
    return std::nullopt;
}

std::optional<SupportedFormat> resolve(ConvertFormatChoice choice, SupportedFormat source) {
    if (choice == C::pdf && isImageSource(source))
        return SupportedFormat::pdf_image;
    return row(choice).target;
}

AutomationError AutomationError::unsupportedInput(std::string_view name) {
    return {Kind::unsupportedInput, "Kelvane can't read \u201c" + std::string(name) +
                                        "\u201d \u2014 it isn't a supported file type."};
}
AutomationError AutomationError::unsupportedConversion(std::string_view from, std::string_view to) {
    return {Kind::unsupportedConversion,
            std::string(from) + " can't be converted to " + std::string(to) +
                ". Check All Conversions in the app for what's possible."};
}
AutomationError AutomationError::unsupported(std::string_view what) {
    return {Kind::unsupported, "Kelvane can't write " + std::string(what) + " for this file."};
}
AutomationError AutomationError::needsFolderAccess(std::string_view folder) {
    return {Kind::needsFolderAccess,
            "Kelvane needs permission to save into \u201c" + std::string(folder) +
                "\u201d. Open Kelvane \u2192 Settings \u2192 Files \u2192 Allow a "
                "folder, then try again."};
}
AutomationError AutomationError::collision(std::string_view name) {
    return {Kind::collision,
            "\u201c" + std::string(name) +
                "\u201d already exists. Turn on Replace existing file to overwrite it."};
}
AutomationError AutomationError::engine(const std::string& message) {
    return {Kind::engine, message};
}
AutomationError AutomationError::noFileURL() {
    return {Kind::noFileURL, "That item has no file on disk to convert."};
}

namespace ConvertActions {

ConvertedFile convertFile(const std::vector<std::uint8_t>& bytes, const std::string& fileName,
                          ConvertFormatChoice choice) {
    StagingFolder staging("intent-");
    const std::string name = safeFileName(fileName);
    const fs::path input = staging.path() / name;
    writeAll(input, bytes);
    const auto source = FileDetector::detect(input);
    if (!source)
        throw AutomationError::unsupportedInput(name);
    const auto target = resolve(choice, *source);
    if (!target)
        throw AutomationError::unsupportedConversion(displayName(*source), displayLabel(choice));
    const auto targets = possibleConversions(*source);
    if (std::find(targets.begin(), targets.end(), *target) == targets.end())
        throw AutomationError::unsupportedConversion(displayName(*source), displayName(*target));
    auto job = FileDetector::createJob(input);
    if (!job)
        throw AutomationError::unsupportedInput(name);
    job->targetFormat = *target;
    // Outputs go into a folder of their own, so the input's name is never in the way.
    const fs::path outputDir = staging.path() / "out";
    const fs::path output = ConversionEngine::convert(*job, outputDir);
    return {readAll(output), output.filename().string()};
}

fs::path convertFileInPlace(const fs::path& file, ConvertFormatChoice choice, bool replaceExisting,
                            FolderAccess& access) {
    if (file.empty() || !file.is_absolute())
        throw AutomationError::noFileURL();
    const auto source = FileDetector::detect(file);
    if (!source)
        throw AutomationError::engine("Kelvane doesn't recognise " + file.filename().string() +
                                      ".");
    const auto target = resolve(choice, *source);
    if (!target)
        throw AutomationError::unsupported(rawValue(choice));
    using Kind = InPlaceConversion::Outcome::Kind;
    const auto outcome = InPlaceConversion::convert({.source = file,
                                                     .target = *target,
                                                     .replaceExisting = replaceExisting,
                                                     .progress = {},
                                                     .stop = {}},
                                                    access);
    switch (outcome.kind) {
    case Kind::converted: return outcome.location;
    case Kind::needsAuthorization:
        throw AutomationError::needsFolderAccess(outcome.location.filename().string());
    case Kind::collision: throw AutomationError::collision(outcome.location.filename().string());
    case Kind::failed: throw AutomationError::engine(outcome.message);
    }
    throw AutomationError::engine("Conversion failed.");
}

} // namespace ConvertActions
} // namespace kv
