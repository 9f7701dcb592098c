// Walking a folder tree to pack it.
#include "archive/archive_tree.h"

#include "engine/source_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kv::ArchiveConverter {
namespace {

namespace fs = std::filesystem;

struct Listed {
    std::string name;
    fs::path location;
    bool isDirectory = false;
};

// Finder litter, never user data; everything else under the tree is kept, hidden or not.
bool isDropped(const std::string& name) {
    return name == ".DS_Store";
}

std::vector<Listed> listSorted(const fs::path& dir) {
    std::vector<Listed> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        // A link is not a folder here, even when it points at one: the tree never leaves `dir`.
        const bool isDirectory = entry.symlink_status().type() == fs::file_type::directory;
        if (!isDirectory && isDropped(name))
            continue;
        entries.push_back({std::move(name), entry.path(), isDirectory});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Listed& a, const Listed& b) { return a.name < b.name; });
    return entries;
}

std::string prefixOf(const fs::path& dir, const fs::path& root) {
    const fs::path relative = dir.lexically_normal().lexically_relative(root.lexically_normal());
    const std::string text = relative.generic_string();
    return (text.empty() || text == ".") ? std::string() : text + "/";
}

void walkDirectories(const fs::path& dir, const std::string& prefix,
                     std::vector<std::string>& out) {
    for (const Listed& entry : listSorted(dir)) {
        if (!entry.isDirectory)
            continue;
        out.push_back(prefix + entry.name);
        walkDirectories(entry.location, prefix + entry.name + "/", out);
    }
}

void walkFiles(const fs::path& dir, const std::string& prefix,
               std::vector<std::pair<std::string, fs::path>>& out) {
    for (const Listed& entry : listSorted(dir)) {
        if (entry.isDirectory) {
            walkFiles(entry.location, prefix + entry.name + "/", out);
        } else {
            out.emplace_back(prefix + entry.name, entry.location);
        }
    }
}

} // namespace

std::vector<std::string> gatherDirectories(const fs::path& dir, const fs::path& root) {
    std::vector<std::string> out;
    walkDirectories(dir, prefixOf(dir, root), out);
    return out;
}

std::vector<std::pair<std::string, fs::path>> gatherFiles(const fs::path& dir,
                                                          const fs::path& root) {
    std::vector<std::pair<std::string, fs::path>> out;
    walkFiles(dir, prefixOf(dir, root), out);
    return out;
}

std::int64_t uncompressedSize(const fs::path& dir) {
    std::int64_t total = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        std::error_code sizeError;
        if (it->symlink_status(sizeError).type() != fs::file_type::regular)
            continue;
        const std::uintmax_t size = it->file_size(sizeError);
        if (!sizeError)
            total += static_cast<std::int64_t>(size);
    }
    return error && total == 0 ? 0 : total;
}

std::size_t appendFileContents(Bytes& out, const fs::path& file) {
    // A link is followed to its target; folders, FIFOs and devices are refused before reading
    // (O_NONBLOCK: opening a FIFO must not wait for a writer).
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        throw fs::filesystem_error("Cannot open", file,
                                   std::error_code(errno, std::generic_category()));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw NotARegularFile(file);
    }
    const std::size_t start = out.size();
    std::size_t filled = start;
    if (info.st_size > 0)
        out.resize(start + static_cast<std::size_t>(info.st_size));
    // Once the declared size is in, further reads go through a small buffer: growing the vector
    // only to find the end of a file that is exactly as large as it said would double its
    // capacity and copy the whole file once more.
    std::array<std::uint8_t, 65536> probe{};
    for (;;) {
        const bool declaredPartRead = filled == out.size();
        std::uint8_t* const target = declaredPartRead ? probe.data() : out.data() + filled;
        const std::size_t room = declaredPartRead ? probe.size() : out.size() - filled;
        const ssize_t got = ::read(fd, target, room);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            const int code = errno;
            ::close(fd);
            out.resize(start);
            throw fs::filesystem_error("Cannot read", file,
                                       std::error_code(code, std::generic_category()));
        }
        if (got == 0)
            break;
        if (declaredPartRead)
            out.insert(out.end(), probe.begin(), probe.begin() + got);
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    out.resize(filled);
    return filled - start;
}

std::int64_t modificationTime(const fs::path& file, std::int64_t fallback) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        return fallback;
    return static_cast<std::int64_t>(info.st_mtim.tv_sec);
}

} // namespace kv::ArchiveConverter
