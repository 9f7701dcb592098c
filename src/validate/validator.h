// Checks that a converted file is a usable file of its target format.
#pragma once

#include "formats/supported_format.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace kv {

/// The outcome of a check: passed, failed with a reason, or skipped (no check applies).
struct ValidationStatus {
    enum class Kind { passed, failed, skipped };
    Kind kind = Kind::skipped;
    std::string reason; // only for failed

    static ValidationStatus passed() { return {Kind::passed, {}}; }
    static ValidationStatus failed(std::string reason) { return {Kind::failed, std::move(reason)}; }
    static ValidationStatus skipped() { return {Kind::skipped, {}}; }
    bool isFailed() const { return kind == Kind::failed; }

    friend bool operator==(const ValidationStatus&, const ValidationStatus&) = default;
};

enum class PDFBackgroundRequirement { light, opaque };
enum class MediaType { video, audio };

namespace Validator {

/// Dispatches by target; never throws and never changes the file.
ValidationStatus validate(const std::filesystem::path& output, SupportedFormat target);

ValidationStatus validateImage(const std::filesystem::path& file);
ValidationStatus validatePDF(const std::filesystem::path& file, int expectPages,
                             PDFBackgroundRequirement requirement);
ValidationStatus validateFolderOutput(SupportedFormat target, const std::filesystem::path& folder);
ValidationStatus validateSVG(const std::filesystem::path& file);
ValidationStatus validateFont(const std::filesystem::path& file, SupportedFormat target);
ValidationStatus validateAVAsset(const std::filesystem::path& file, MediaType requireMediaType);
ValidationStatus validateText(const std::filesystem::path& file);
ValidationStatus validateHTML(const std::filesystem::path& file);
ValidationStatus validateRTF(const std::filesystem::path& file);
ValidationStatus validateDOCX(const std::filesystem::path& file);
ValidationStatus validateMagicBytes(const std::filesystem::path& file,
                                    std::span<const std::uint8_t> magic, std::string_view label);
ValidationStatus validateTAR(const std::filesystem::path& file);
ValidationStatus validateDelimited(const std::filesystem::path& file, char delimiter);
ValidationStatus validateJSON(const std::filesystem::path& file);
ValidationStatus validateSubtitles(const std::filesystem::path& file, SupportedFormat format);

} // namespace Validator
} // namespace kv
