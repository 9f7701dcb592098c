// The folders the user allowed Kelvane to write into, stored as plain folder paths.
#pragma once

#include "platform/settings_store.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace kv {

/// The user's folder grants under "Kelvane.folderBookmarks": a map from folder path to the
/// grant's record, which on Linux is the folder path itself. Thread-safe.
class FolderAccess {
  public:
    static constexpr const char* kSettingsKey = "Kelvane.folderBookmarks";

    /// The grants of the shared settings store.
    static FolderAccess& shared();

    /// Reads the grants from `store`; a value that is not a map of strings counts as no grants.
    explicit FolderAccess(SettingsStore& store);

    /// The granted folders, sorted ascending.
    std::vector<std::string> authorizedPaths() const;

    /// The granted folder that contains `location` (compared by path components after resolving
    /// symbolic links), or none. With nested grants either may be returned.
    std::optional<std::filesystem::path>
    authorizedRoot(const std::filesystem::path& location) const;
    /// True exactly when a grant covers `folder`.
    bool canWrite(const std::filesystem::path& folder) const {
        return authorizedRoot(folder).has_value();
    }

    /// Runs `body` when a grant covers `folder` and its folder still exists; none otherwise (a
    /// grant whose folder is gone is dropped). The body's exceptions pass through.
    template <typename Body>
    auto with(const std::filesystem::path& folder, Body&& body)
        -> std::optional<std::invoke_result_t<Body>> {
        if (!openGrant(folder))
            return std::nullopt;
        return body();
    }

    /// Grants `folder` (stored with symbolic links resolved) and persists.
    void grant(const std::filesystem::path& folder);
    /// Removes the grant stored under `path` and persists.
    void revoke(const std::string& path);
    /// Writes the grants to the settings store.
    void persist();

  private:
    bool openGrant(const std::filesystem::path& folder);

    SettingsStore& m_store;
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_bookmarks;
};

} // namespace kv
