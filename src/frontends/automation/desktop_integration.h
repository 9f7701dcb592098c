// Per-user desktop integration: the "kelvane" URL handler, file-manager actions that open such
// URLs, and the D-Bus activation file of the automation service.
#pragma once

#include <filesystem>
#include <vector>

namespace kv::DesktopIntegration {

struct Locations {
    std::filesystem::path dataHome;   ///< $XDG_DATA_HOME, else ~/.local/share
    std::filesystem::path configHome; ///< $XDG_CONFIG_HOME, else ~/.config
    std::filesystem::path executable; ///< the kelvane program the files start

    /// From the environment and /proc/self/exe.
    static Locations current();
};

/// Writes every file (replacing earlier versions of ours, keeping the user's other entries in
/// mimeapps.list and Thunar's uca.xml); returns the files written. Throws on I/O errors.
std::vector<std::filesystem::path> install(const Locations& where);
/// Removes what `install` wrote; returns the files removed.
std::vector<std::filesystem::path> uninstall(const Locations& where);

/// `kelvane --install-desktop-integration` / `--uninstall-desktop-integration`: prints each
/// file's path; exit status 0, or 1 with the error on stderr.
int runInstall();
int runUninstall();

} // namespace kv::DesktopIntegration
