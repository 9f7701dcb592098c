// Publishing outputs: complete or not at all, never following or replacing an existing entry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace kv {

/// An output being built under a hidden pending name in its destination's folder. `commit()`
/// runs the thread's publish check (see PublishCheck) on the pending entry, then publishes it with
/// renameat2(RENAME_NOREPLACE) (or link+unlink where the file system lacks it), so an entry that
/// appeared meanwhile is never replaced. Under a PublishCheck the next free name is then reserved
/// and used instead (the check's `published()` tells where); without one the commit fails.
/// Destroyed without commit, the pending entry is removed. The pending name is short, names its
/// owning process (".kv-<pid>-<start>-<random>") so that a later process can sweep it when this
/// one is killed, and keeps the destination's extension for libraries that choose a writer by it.
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

    /// For a writer that failed without saying why: throws the disk-full error when the file
    /// system holding the pending entry has (next to) no room left; returns otherwise.
    void throwIfOutOfSpace() const;

    /// Checks and publishes; returns where it was published: the destination, or under a
    /// PublishCheck the next free name when another process took the destination meanwhile.
    /// Throws what the check throws, or failedToCreateOutput when the move fails.
    std::filesystem::path commit();

  private:
    std::filesystem::path m_destination;
    std::filesystem::path m_temporary;
    Kind m_kind;
    bool m_committed = false;
};

/// While alive, every PendingOutput committed on this thread into `folder` (directly: not the
/// pages inside a pending folder, not intermediate files elsewhere) is first handed to `check`,
/// which throws to refuse it; a refused output is removed and never appears under its final name.
/// Such a publish that finds its name taken moves on to the next free one; `published()` says
/// where each went.
class PublishCheck {
  public:
    using Check =
        std::function<void(const std::filesystem::path& pending,
                           const std::filesystem::path& destination, PendingOutput::Kind)>;
    PublishCheck(std::filesystem::path folder, Check check);
    ~PublishCheck();
    PublishCheck(const PublishCheck&) = delete;
    PublishCheck& operator=(const PublishCheck&) = delete;

    /// The outputs published under this check, in order.
    const std::vector<std::filesystem::path>& published() const { return m_published; }

  private:
    friend class PendingOutput;
    bool covers(const std::filesystem::path& destination) const;
    std::filesystem::path m_folder;
    Check m_check;
    std::vector<std::filesystem::path> m_published;
    PublishCheck* m_outer;
};

/// Throws the error for a failed write or creation of an output: the system's own words for a full
/// disk, a read-only or forbidden folder ("Could not write the output file: No space left on
/// device"), else failedToCreateOutput.
[[noreturn]] void throwOutputFailure(int error);

/// Writes `bytes` to `destination` atomically and never replacing: the common case of
/// PendingOutput.
std::filesystem::path writeOutputFile(const std::filesystem::path& destination,
                                      std::span<const std::uint8_t> bytes);
std::filesystem::path writeOutputFile(const std::filesystem::path& destination,
                                      std::string_view bytes);

} // namespace kv
