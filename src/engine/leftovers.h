// Temporary entries named after the process that owns them, and the sweep of those whose owner is
// gone (a process killed with SIGKILL cannot remove its own).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kv::Leftovers {

/// "<pid>-<start>" of this process: its id and its start time in clock ticks after boot, which
/// tells a reused process id apart from the process that named an entry.
const std::string& ownerTag();

/// Whether the process a tag names is still running. Unknown counts as running.
bool ownerAlive(std::string_view tag);

/// The tag in a pending output's name (".kv-<tag>-<random>[.ext]") or a staging folder's name
/// ("Kelvane_<tag>-<UUID>"); empty when the name is neither.
std::string ownerOf(std::string_view fileName);

/// Records an entry this process is building, so that an interruption can remove it now, and a
/// later process can when this one is killed.
void track(const std::filesystem::path& path);
/// The entry was published or removed.
void untrack(const std::filesystem::path& path);
/// Removes every entry still tracked, and the journal (on SIGINT/SIGTERM, for what unwinding
/// has not removed).
void removeTracked();

struct SweepCount {
    std::size_t removed = 0;
    std::size_t kept = 0; // named after a live process
};

/// Removes the staging folders in the temporary folders and the pending outputs listed in the
/// journals of processes that are gone. Never touches a live process's entries.
SweepCount sweep();
/// The same for the pending outputs inside `folder`.
SweepCount sweepFolder(const std::filesystem::path& folder);

} // namespace kv::Leftovers
