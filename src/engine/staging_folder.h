// A private temporary folder, "$TMPDIR/Kelvane_<pid>-<start>-<UUID>", removed on every path out
// (and by a later process's sweep when this one is killed).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kv {

class StagingFolder {
  public:
    /// Creates `<temp>/<prefix><owner tag>-<UUID>`; throws filesystem_error when it cannot.
    explicit StagingFolder(std::string_view prefix = "Kelvane_");
    /// The same, for a tree of at most `expectedBytes`: when that is small against the memory
    /// available, the folder goes on a memory-backed file system (see `memoryBackedParent`).
    StagingFolder(std::string_view prefix, std::uint64_t expectedBytes);
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }

    /// Where a staging folder for `expectedBytes` would go instead of the temporary folder: none
    /// when the temporary folder is itself in memory, when the bytes exceed a quarter of the
    /// memory available, or when no writable tmpfs ($XDG_RUNTIME_DIR, /dev/shm) has room.
    static std::optional<std::filesystem::path> memoryBackedParent(std::uint64_t expectedBytes);

  private:
    std::filesystem::path m_path;
};

} // namespace kv
