// Mode selection at start-up and the headless command-line modes.
#pragma once

#include <string>
#include <vector>

namespace kv::CommandLine {

enum class Mode {
    test, renderScreenshots, convert, estimate, compress, mcp,
    dbusService, installDesktopIntegration, uninstallDesktopIntegration, urlService, desktop
};

/// The first of "--test", "--render-screenshots", "--convert", "--estimate", "--compress", "--mcp",
/// "--dbus-service", "--install-desktop-integration", "--uninstall-desktop-integration" present
/// anywhere in `args` (exact match); then a "kelvane:" URL argument (the file-manager service);
/// otherwise the desktop window.
Mode selectMode(const std::vector<std::string>& args);

/// Runs a headless mode and returns the exit status (0 success, 1 failure, 2 bad usage).
int run(Mode mode, const std::vector<std::string>& args);

/// "--convert <input> <target-format> <output-dir>" with the arguments as given.
int runConvert(const std::vector<std::string>& args);

}  // namespace kv::CommandLine
