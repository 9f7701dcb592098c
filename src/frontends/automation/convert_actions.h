// The two automation actions, "Convert File" and "Convert File in Place", without their transport.
#pragma once

#include "formats/supported_format.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class FolderAccess;

/// The target list offered to the actions, in display order.
enum class ConvertFormatChoice {
    jpeg,
    png,
    heic,
    tiff,
    gif,
    pdf,
    mp4,
    mov,
    m4a,
    wav,
    aiff,
    txt,
    html,
    zip,
    tar
};

inline constexpr std::array<ConvertFormatChoice, 15> allConvertFormatChoices{
    ConvertFormatChoice::jpeg, ConvertFormatChoice::png,  ConvertFormatChoice::heic,
    ConvertFormatChoice::tiff, ConvertFormatChoice::gif,  ConvertFormatChoice::pdf,
    ConvertFormatChoice::mp4,  ConvertFormatChoice::mov,  ConvertFormatChoice::m4a,
    ConvertFormatChoice::wav,  ConvertFormatChoice::aiff, ConvertFormatChoice::txt,
    ConvertFormatChoice::html, ConvertFormatChoice::zip,  ConvertFormatChoice::tar};

/// The case name ("jpeg", "m4a").
std::string_view rawValue(ConvertFormatChoice choice);
/// "JPEG", "M4A (audio)", "Plain Text" …
std::string_view displayLabel(ConvertFormatChoice choice);
/// Exact case name; anything else is no choice.
std::optional<ConvertFormatChoice> convertFormatChoiceFromRaw(std::string_view raw);
/// The target format of a choice for a source: fixed, except "PDF", which is the image-to-PDF
/// target for image sources (png … raw, pdfPagePng, pdfPageJpeg) and the document PDF otherwise.
std::optional<SupportedFormat> resolve(ConvertFormatChoice choice, SupportedFormat source);

/// An action's failure; what() is the text shown to the user.
class AutomationError : public std::runtime_error {
  public:
    enum class Kind {
        unsupportedInput,
        unsupportedConversion,
        unsupported,
        needsFolderAccess,
        collision,
        engine,
        noFileURL
    };

    static AutomationError unsupportedInput(std::string_view name);
    static AutomationError unsupportedConversion(std::string_view from, std::string_view to);
    static AutomationError unsupported(std::string_view what);
    static AutomationError needsFolderAccess(std::string_view folder);
    static AutomationError collision(std::string_view name);
    static AutomationError engine(const std::string& message);
    static AutomationError noFileURL();

    Kind kind() const noexcept { return m_kind; }

  private:
    AutomationError(Kind kind, const std::string& message)
        : std::runtime_error(message), m_kind(kind) {}
    Kind m_kind;
};

namespace ConvertActions {

struct ConvertedFile {
    std::vector<std::uint8_t> bytes;
    std::string fileName;
};

/// "Convert File": converts the given bytes, named `fileName`, in a private staging folder and
/// hands the result back. Only the last component of `fileName` is used.
ConvertedFile convertFile(const std::vector<std::uint8_t>& bytes, const std::string& fileName,
                          ConvertFormatChoice choice);

/// "Convert File in Place": converts the file beside itself; returns the new file's path.
std::filesystem::path convertFileInPlace(const std::filesystem::path& file,
                                         ConvertFormatChoice choice, bool replaceExisting,
                                         FolderAccess& access);

} // namespace ConvertActions
} // namespace kv
