// Mode selection at start-up and the headless command-line modes.
#pragma once

#include "compress/compression_level.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::CommandLine {

enum class Mode {
    test,
    renderScreenshots,
    convert,
    estimate,
    compress,
    mcp,
    dbusService,
    installDesktopIntegration,
    uninstallDesktopIntegration,
    help,
    version,
    urlService,
    desktop
};

/// The first of "--test", "--render-screenshots", "--convert", "--estimate", "--compress", "--mcp",
/// "--dbus-service", "--install-desktop-integration", "--uninstall-desktop-integration" present
/// anywhere in `args` (exact match); then "--help"/"-h" and "--version", which print and exit
/// without opening a window; then a "kelvane:" URL argument (the file-manager service); otherwise
/// the desktop window.
Mode selectMode(const std::vector<std::string>& args);

/// Runs a headless mode and returns the exit status (0 success, 1 failure, 2 bad usage).
int run(Mode mode, const std::vector<std::string>& args);

/// "--convert <input> <target-format> <output-dir>" with the arguments as given.
int runConvert(const std::vector<std::string>& args);
/// "--estimate <file>": the table of compression levels on stdout.
int runEstimate(const std::vector<std::string>& args);
/// "--compress <file> <level> <outdir>": the compressed file's path on stdout.
int runCompress(const std::vector<std::string>& args);

/// The estimate table: a header and one line per row, in the columns of "--estimate".
std::string estimateTable(const std::vector<CompressionEstimate>& rows);

/// The "--help" text: modes, operands, format ids by category, levels, exit statuses.
std::string helpText();
/// "kelvane " + the version + "\n".
std::string versionText();

/// Operand k: the argument k places after the first occurrence of `flag`.
std::optional<std::string> operand(const std::vector<std::string>& args, std::string_view flag,
                                   std::size_t k);

} // namespace kv::CommandLine
