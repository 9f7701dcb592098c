// Publishing outputs: complete or not at all, never following or replacing an existing entry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace kv {

/// An output being built under a hidden temporary name in its destination's folder. `commit()`
/// publishes it at the reserved name with renameat2(RENAME_NOREPLACE) (or link+unlink where the
/// file system lacks it), so an entry that appeared there meanwhile is never replaced. Destroyed
/// without commit, the temporary entry is removed. The temporary name ends with the destination's
/// file name, so libraries that pick a writer by extension still see the right one.
class PendingOutput {
public:
    enum class Kind { file, folder };

    /// Creates the temporary file (empty, mode 0644 less umask) or folder.
    explicit PendingOutput(std::filesystem::path destination, Kind kind = Kind::file);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    /// Where to write until commit.
    const std::filesystem::path& path() const { return m_temporary; }
    const std::filesystem::path& destination() const { return m_destination; }

    /// Replaces the temporary file's contents with `bytes` (files only).
    void write(std::span<const std::uint8_t> bytes);
    void write(std::string_view bytes);

    /// Flushes and publishes at the destination; throws failedToCreateOutput when the name is
    /// taken or the move fails. Returns the destination.
    std::filesystem::path commit();

private:
    std::filesystem::path m_destination;
    std::filesystem::path m_temporary;
    Kind m_kind;
    bool m_committed = false;
};

/// Writes `bytes` to `destination` atomically and never replacing: the common case of PendingOutput.
std::filesystem::path writeOutputFile(const std::filesystem::path& destination, std::span<const std::uint8_t> bytes);
std::filesystem::path writeOutputFile(const std::filesystem::path& destination, std::string_view bytes);

}  // namespace kv
