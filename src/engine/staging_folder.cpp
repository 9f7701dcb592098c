// A private temporary folder, removed on every path out.
#include "engine/staging_folder.h"

#include "base/uuid.h"
#include "engine/leftovers.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <linux/magic.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <system_error>
#include <unistd.h>

namespace kv {
namespace {

namespace fs = std::filesystem;

// Staging may take at most this share of the memory the kernel reports as available: the tree
// sits in memory beside the decoded archive and the output being built.
constexpr std::uint64_t kShareOfAvailableMemory = 4;

bool isMemoryBacked(const fs::path& folder) {
    struct statfs info {};
    return ::statfs(folder.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

// Creating files on a disk file system costs far more than writing their bytes, and an archive
// repack creates one per entry; a tmpfs makes that nearly free.
bool hasRoomFor(const fs::path& folder, std::uint64_t bytes) {
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0 || info.f_type != TMPFS_MAGIC)
        return false;
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return false;
    const std::uint64_t free =
        static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_bsize);
    return bytes < free / 2;
}

// MemAvailable of /proc/meminfo in bytes; 0 when it cannot be read.
std::uint64_t availableMemory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:")
            return kib * 1024;
    }
    return 0;
}

fs::path createPrivateFolder(const fs::path& parent, std::string_view prefix) {
    // The owner's tag in the name lets a later process remove the folder if this one is killed.
    const fs::path path =
        parent / (std::string(prefix) + Leftovers::ownerTag() + "-" + Uuid::random().toString());
    fs::create_directories(parent);
    // Journalled before it exists, so that no moment leaves it unknown to a later sweep.
    Leftovers::track(path);
    // 0700: the tree may hold the user's private files.
    if (::mkdir(path.c_str(), 0700) != 0) {
        const int error = errno;
        Leftovers::untrack(path);
        throw fs::filesystem_error("Cannot create staging folder", path,
                                   std::error_code(error, std::generic_category()));
    }
    return path;
}

} // namespace

StagingFolder::StagingFolder(std::string_view prefix)
    : m_path(createPrivateFolder(fs::temp_directory_path(), prefix)) {}

StagingFolder::StagingFolder(std::string_view prefix, std::uint64_t expectedBytes)
    : m_path(createPrivateFolder(
          memoryBackedParent(expectedBytes).value_or(fs::temp_directory_path()), prefix)) {}

StagingFolder::~StagingFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
    Leftovers::untrack(m_path);
}

std::optional<fs::path> StagingFolder::memoryBackedParent(std::uint64_t expectedBytes) {
    std::error_code error;
    const fs::path temp = fs::temp_directory_path(error);
    if (!error && isMemoryBacked(temp))
        return std::nullopt;
    if (expectedBytes > availableMemory() / kShareOfAvailableMemory)
        return std::nullopt;
    // The per-user runtime folder first: it is private to the user.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && *runtime == '/') {
        if (hasRoomFor(runtime, expectedBytes))
            return fs::path(runtime);
    }
    if (hasRoomFor("/dev/shm", expectedBytes))
        return fs::path("/dev/shm");
    return std::nullopt;
}

} // namespace kv
