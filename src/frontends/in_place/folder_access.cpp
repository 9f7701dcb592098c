// The folders the user allowed Kelvane to write into, stored as plain folder paths.
#include "frontends/in_place/folder_access.h"

#include <algorithm>
#include <system_error>

namespace kv {
namespace {

namespace fs = std::filesystem;

// Absolute, symbolic links resolved as far as the path exists, "." and ".." folded away.
fs::path resolved(const fs::path& location) {
    std::error_code error;
    auto result = fs::weakly_canonical(fs::absolute(location, error), error);
    if (error)
        result = fs::absolute(location, error).lexically_normal();
    // "/a/b/" and "/a/b" are the same folder: drop the empty last component.
    if (!result.has_filename() && result.has_parent_path() && result != result.root_path())
        result = result.parent_path();
    return result;
}

bool covers(const fs::path& root, const fs::path& location) {
    auto r = root.begin();
    auto l = location.begin();
    for (; r != root.end(); ++r, ++l) {
        if (l == location.end() || *r != *l)
            return false;
    }
    return true;
}

} // namespace

FolderAccess& FolderAccess::shared() {
    static FolderAccess access(SettingsStore::shared());
    return access;
}

FolderAccess::FolderAccess(SettingsStore& store)
    : m_store(store),
      m_bookmarks(store.stringMap(kSettingsKey).value_or(std::map<std::string, std::string>{})) {}

std::vector<std::string> FolderAccess::authorizedPaths() const {
    std::lock_guard guard(m_lock);
    std::vector<std::string> paths;
    for (const auto& [path, record] : m_bookmarks)
        paths.push_back(path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::optional<fs::path> FolderAccess::authorizedRoot(const fs::path& location) const {
    const fs::path target = resolved(location);
    std::lock_guard guard(m_lock);
    for (const auto& [path, record] : m_bookmarks) {
        if (covers(resolved(path), target))
            return fs::path(path);
    }
    return std::nullopt;
}

bool FolderAccess::openGrant(const fs::path& folder) {
    const auto root = authorizedRoot(folder);
    if (!root)
        return false;
    std::unique_lock guard(m_lock);
    const auto found = m_bookmarks.find(root->string());
    if (found == m_bookmarks.end())
        return false;
    // The record no longer resolves to a folder: the grant is dropped.
    std::error_code error;
    if (!fs::is_directory(found->second, error)) {
        m_bookmarks.erase(found);
        guard.unlock();
        persist();
        return false;
    }
    return true;
}

void FolderAccess::grant(const fs::path& folder) {
    const std::string path = resolved(folder).string();
    {
        std::lock_guard guard(m_lock);
        m_bookmarks[path] = path;
    }
    persist();
}

void FolderAccess::revoke(const std::string& path) {
    {
        std::lock_guard guard(m_lock);
        m_bookmarks.erase(path);
    }
    persist();
}

void FolderAccess::persist() {
    std::map<std::string, std::string> copy;
    {
        std::lock_guard guard(m_lock);
        copy = m_bookmarks;
    }
    m_store.set(kSettingsKey, copy);
}

} // namespace kv
