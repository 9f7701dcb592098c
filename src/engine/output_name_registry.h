// The only source of output names: never an existing entry, never a name handed out before.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace kv {

class OutputNameRegistry {
  public:
    /// The one registry of the process.
    static OutputNameRegistry& shared();

    /// A free location in `dir`: "base.ext", then "base (1).ext", "base (2).ext", …; an empty `ext`
    /// gives a name without extension. Nothing exists there, not even a dangling link, and the
    /// name was never handed out before in this process (compared after NFC and lower-casing).
    /// Creates nothing on disk. A name longer than a file name may be (255 bytes) keeps its
    /// number and extension and loses the end of the base name, at a character boundary.
    std::filesystem::path reserve(const std::filesystem::path& dir, std::string_view baseName,
                                  std::string_view ext);

    /// The next free name in the sequence that `taken` came from, for a publish that found
    /// `taken` occupied by another process.
    std::filesystem::path reserveAnother(const std::filesystem::path& taken);

  private:
    struct Request {
        std::filesystem::path dir;
        std::string baseName;
        std::string ext;
    };
    std::mutex m_lock;
    std::unordered_set<std::string> m_reserved;
    std::unordered_map<std::string, Request> m_requests; // by the key of the name handed out
};

/// The longest prefix of `text` of at most `maxBytes` bytes that ends at a UTF-8 character
/// boundary.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

/// NFC, then lower case: two names that differ only so are the same name.
std::string normalisedPathKey(const std::string& path);

/// The documents folder (XDG), else the data home, else the temp folder, + "Kelvane"; created.
std::filesystem::path defaultOutputDirectory();

/// A file name without its last extension ("notes.txt.gz" → "notes.txt"; ".bashrc" stays).
std::string baseNameOf(const std::filesystem::path& source);

} // namespace kv
