// Temporary entries named after their owner, and the sweep of those whose owner is gone.
#include "engine/leftovers.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace kv::Leftovers {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPendingPrefix = ".kv-";
constexpr std::string_view kStagingPrefix = "Kelvane_";
constexpr std::string_view kJournalSuffix = ".journal";

// Field 22 of /proc/<pid>/stat (start time in clock ticks after boot), or empty when the process
// does not exist; "?" when it exists but cannot be read.
std::string startTimeOf(const std::string& pid) {
    const std::string path = "/proc/" + pid + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ESRCH ? std::string() : std::string("?");
    char buffer[1024];
    const ssize_t size = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (size <= 0)
        return "?";
    const std::string_view stat(buffer, static_cast<std::size_t>(size));
    // The command name in parentheses may hold spaces: count fields after its closing one.
    std::size_t at = stat.rfind(')');
    if (at == std::string_view::npos)
        return "?";
    int field = 2;
    while (at < stat.size() && field < 22) {
        at = stat.find(' ', at + 1);
        if (at == std::string_view::npos)
            return "?";
        ++field;
    }
    const std::size_t end = stat.find(' ', at + 1);
    return std::string(stat.substr(at + 1, end == std::string_view::npos ? end : end - at - 1));
}

bool isDigits(std::string_view text) {
    if (text.empty())
        return false;
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// "<digits>-<digits>" at the start of `text`, followed by one of `ends`.
std::string leadingTag(std::string_view text, std::string_view ends) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos)
        return {};
    std::size_t end = dash + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    if (!isDigits(text.substr(0, dash)) || end == dash + 1 || end >= text.size())
        return {};
    if (ends.find(text[end]) == std::string_view::npos)
        return {};
    return std::string(text.substr(0, end));
}

struct Tracked {
    std::mutex lock;
    std::set<fs::path> paths;
    int journal = -1;
    fs::path journalFile; // where `journal` was opened; TMPDIR may change meanwhile
};

// Never destroyed: the signal watcher may use it while the process exits.
Tracked& tracked() {
    static Tracked* state = new Tracked;
    return *state;
}

fs::path journalPath(const std::string& tag) {
    std::error_code error;
    const fs::path temp = fs::temp_directory_path(error);
    return (error ? fs::path("/tmp") : temp) /
           (std::string(kStagingPrefix) + tag + std::string(kJournalSuffix));
}

void removeOwnJournal() {
    const auto& state = tracked();
    if (!state.journalFile.empty())
        ::unlink(state.journalFile.c_str());
}

// Shared temporary folders hold other users' entries too: only our own are ours to sweep.
bool ownedByUs(const fs::path& entry) {
    struct stat info {};
    return ::lstat(entry.c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

std::vector<fs::path> sweepFolders() {
    std::vector<fs::path> folders;
    std::error_code error;
    const fs::path temp = fs::temp_directory_path(error);
    if (!error)
        folders.push_back(temp);
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/')
        folders.emplace_back(runtime);
    folders.emplace_back("/dev/shm");
    std::vector<fs::path> unique;
    for (const auto& folder : folders) {
        bool seen = false;
        for (const auto& other : unique)
            seen = seen || fs::equivalent(folder, other, error);
        if (!seen)
            unique.push_back(folder);
    }
    return unique;
}

// The names in `folder` that start with `prefix`. Every start sweeps the shared temporary folder,
// which may hold hundreds of entries: a directory_iterator would build and parse a path for each.
std::vector<std::string> namesStartingWith(const fs::path& folder, std::string_view prefix) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(prefix))
            names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

// Removes the entries a dead owner's journal lists, when their names still carry its tag.
void sweepJournal(const fs::path& journal, const std::string& tag, SweepCount& count) {
    std::ifstream in(journal);
    std::string line;
    while (std::getline(in, line)) {
        const fs::path entry(line);
        if (ownerOf(entry.filename().string()) != tag)
            continue;
        std::error_code error;
        if (fs::remove_all(entry, error) > 0)
            ++count.removed;
    }
    std::error_code ignored;
    fs::remove(journal, ignored);
}

} // namespace

const std::string& ownerTag() {
    static const std::string tag = [] {
        const std::string pid = std::to_string(::getpid());
        return pid + "-" + startTimeOf(pid);
    }();
    return tag;
}

bool ownerAlive(std::string_view tag) {
    if (tag == ownerTag())
        return true;
    const std::size_t dash = tag.find('-');
    if (dash == std::string_view::npos)
        return true;
    const std::string start = startTimeOf(std::string(tag.substr(0, dash)));
    if (start.empty())
        return false;
    return start == "?" || start == tag.substr(dash + 1);
}

std::string ownerOf(std::string_view fileName) {
    if (fileName.substr(0, kPendingPrefix.size()) == kPendingPrefix)
        return leadingTag(fileName.substr(kPendingPrefix.size()), "-");
    if (fileName.substr(0, kStagingPrefix.size()) == kStagingPrefix)
        return leadingTag(fileName.substr(kStagingPrefix.size()), "-.");
    return {};
}

void track(const fs::path& path) {
    auto& state = tracked();
    const std::lock_guard lock(state.lock);
    state.paths.insert(path);
    if (state.journal < 0) {
        state.journalFile = journalPath(ownerTag());
        state.journal =
            ::open(state.journalFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (state.journal < 0)
            return; // the temporary-folder sweep still finds staging folders
        static const bool removedAtExit = std::atexit(&removeOwnJournal) == 0;
        (void)removedAtExit;
    }
    const std::string line = fs::absolute(path).string() + "\n";
    // One append per entry: lines of concurrent writers never interleave.
    [[maybe_unused]] const ssize_t written = ::write(state.journal, line.data(), line.size());
}

// The journal exists only while something is being built: a long-running process does not grow
// it, and a finished conversion leaves nothing in the temporary folder.
void closeJournalLocked(Tracked& state) {
    if (state.journal < 0)
        return;
    ::close(state.journal);
    state.journal = -1;
    removeOwnJournal();
    state.journalFile.clear();
}

void untrack(const fs::path& path) {
    auto& state = tracked();
    const std::lock_guard lock(state.lock);
    state.paths.erase(path);
    if (state.paths.empty())
        closeJournalLocked(state);
}

void removeTracked() {
    auto& state = tracked();
    const std::lock_guard lock(state.lock);
    for (const auto& path : state.paths) {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    state.paths.clear();
    // Nothing is left for a later sweep to find.
    closeJournalLocked(state);
}

SweepCount sweep() {
    SweepCount count;
    for (const auto& folder : sweepFolders()) {
        for (const auto& name : namesStartingWith(folder, kStagingPrefix)) {
            const fs::path entry = folder / name;
            const std::string tag = ownerOf(name);
            if (tag.empty() || !ownedByUs(entry))
                continue;
            if (ownerAlive(tag)) {
                ++count.kept;
                continue;
            }
            const bool isJournal = name.size() > kJournalSuffix.size() &&
                                   name.compare(name.size() - kJournalSuffix.size(),
                                                kJournalSuffix.size(), kJournalSuffix) == 0;
            if (isJournal) {
                sweepJournal(entry, tag, count);
                continue;
            }
            std::error_code ignored;
            if (fs::remove_all(entry, ignored) > 0)
                ++count.removed;
        }
    }
    return count;
}

SweepCount sweepFolder(const fs::path& folder) {
    SweepCount count;
    for (const auto& name : namesStartingWith(folder, kPendingPrefix)) {
        const std::string tag = ownerOf(name);
        if (tag.empty())
            continue;
        if (ownerAlive(tag)) {
            ++count.kept;
            continue;
        }
        std::error_code ignored;
        if (fs::remove_all(folder / name, ignored) > 0)
            ++count.removed;
    }
    return count;
}

} // namespace kv::Leftovers
