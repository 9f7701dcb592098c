// The engine's error vocabulary, each case with its fixed user-facing message.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace kv {

class ConversionError final : public std::runtime_error {
  public:
    enum class Kind {
        unsupportedConversion,
        exportSessionFailed,
        fileAccessDenied,
        corruptFile,
        failedToLoadFile,
        unsupportedFormat,
        failedToCreateOutput,
        conversionFailed,
        emptyOutput,
        cancelled,
        noTargetSelected,
    };

    /// "Converting " + from + " → " + to + " is not supported."
    static ConversionError unsupportedConversion(std::string_view from, std::string_view to);
    /// "Export failed: " + detail
    static ConversionError exportSessionFailed(std::string_view detail);
    /// "Cannot access file at " + path + ". Try re-adding the file."
    static ConversionError fileAccessDenied(std::string_view path);
    /// "File appears corrupt: " + detail
    static ConversionError corruptFile(std::string_view detail);
    static ConversionError failedToLoadFile();
    static ConversionError unsupportedFormat();
    static ConversionError failedToCreateOutput();
    static ConversionError conversionFailed();
    static ConversionError emptyOutput();
    static ConversionError cancelled();
    static ConversionError noTargetSelected();

    Kind kind() const noexcept { return m_kind; }

  private:
    ConversionError(Kind kind, const std::string& message)
        : std::runtime_error(message), m_kind(kind) {}
    Kind m_kind;
};

/// "Not a regular file: " + path + ". Only files can be converted." (a folder, FIFO or device
/// given as a source; not one of the cases above, so front ends show it as it stands).
std::string notARegularFileText(std::string_view path);

} // namespace kv
