// Font checks: decode back, then load with FreeType.
#include "base/text_file.h"
#include "engine/conversion_error.h"
#include "font/woff.h"
#include "font/woff2_container.h"
#include "platform/fonts.h"
#include "validate/validator.h"

#include <array>
#include <cstring>
#include <vector>

namespace kv::Validator {
namespace {

constexpr std::size_t kMinimumFontBytes = 13;

bool startsWith(const std::string& bytes, const char* signature) {
    return std::memcmp(bytes.data(), signature, 4) == 0;
}

bool isSFNTSignature(const std::string& bytes) {
    return startsWith(bytes, "\x00\x01\x00\x00") || startsWith(bytes, "true") ||
           startsWith(bytes, "OTTO");
}

} // namespace

ValidationStatus validateFont(const std::filesystem::path& file, SupportedFormat target) {
    const auto contents = readWholeFile(file);
    if (!contents || contents->size() < kMinimumFontBytes) {
        return ValidationStatus::failed("Font file is empty or truncated.");
    }
    const auto& bytes = *contents;
    const std::span<const std::uint8_t> view(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             bytes.size());
    std::vector<std::uint8_t> sfntBytes;
    switch (target) {
    case SupportedFormat::ttf:
    case SupportedFormat::otf:
        if (!isSFNTSignature(bytes)) {
            return ValidationStatus::failed(target == SupportedFormat::ttf
                                                ? "Not a recognised TrueType container."
                                                : "Not a recognised OpenType container.");
        }
        sfntBytes.assign(view.begin(), view.end());
        break;
    case SupportedFormat::woff2:
        if (!startsWith(bytes, "wOF2"))
            return ValidationStatus::failed("Missing wOF2 signature.");
        try {
            sfntBytes = FontConverter::decodeWOFF2(view).sfntData();
        } catch (const std::exception&) {
            return ValidationStatus::failed("WOFF2 file does not decode back to a valid font.");
        }
        break;
    case SupportedFormat::woff:
        if (!startsWith(bytes, "wOFF"))
            return ValidationStatus::failed("Missing wOFF signature.");
        try {
            sfntBytes = FontConverter::decodeWOFF(view).sfntData();
        } catch (const std::exception&) {
            return ValidationStatus::failed("WOFF file does not decode back to a valid font.");
        }
        break;
    default: return ValidationStatus::skipped();
    }

    const auto facts = platform::loadFontFacts(sfntBytes);
    if (!facts)
        return ValidationStatus::failed("The system font engine could not load the output.");
    if (facts->postScriptName.empty()) {
        return ValidationStatus::failed(
            "Output font has no PostScript name \u2014 the name table did not survive.");
    }
    if (facts->glyphCount < 1)
        return ValidationStatus::failed("Output font contains no glyphs.");
    return ValidationStatus::passed();
}

} // namespace kv::Validator
