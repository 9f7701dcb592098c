// The only source of output names: never an existing entry, never a name handed out before.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace kv {

class OutputNameRegistry {
public:
    /// The one registry of the process.
    static OutputNameRegistry& shared();

    /// A free location in `dir`: "base.ext", then "base (1).ext", "base (2).ext", …; an empty `ext`
    /// gives a name without extension. Nothing exists there, not even a dangling link, and the
    /// name was never handed out before in this process (compared after NFC and lower-casing).
    /// Creates nothing on disk.
    std::filesystem::path reserve(const std::filesystem::path& dir, std::string_view baseName,
                                  std::string_view ext);

private:
    std::mutex m_lock;
    std::unordered_set<std::string> m_reserved;
};

/// NFC, then lower case: two names that differ only so are the same name.
std::string normalisedPathKey(const std::string& path);

/// The documents folder (XDG), else the data home, else the temp folder, + "Kelvane"; created.
std::filesystem::path defaultOutputDirectory();

/// A file name without its last extension ("notes.txt.gz" → "notes.txt"; ".bashrc" stays).
std::string baseNameOf(const std::filesystem::path& source);

}  // namespace kv
