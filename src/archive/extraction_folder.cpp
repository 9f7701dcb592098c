// Where readers write what they unpack.
#include "archive/extraction_folder.h"

#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace kv::ArchiveConverter {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const char* what, const fs::path& path, int code) {
    throw fs::filesystem_error(what, path, std::error_code(code, std::generic_category()));
}

class Fd {
  public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

  private:
    int m_fd;
};

// A file (a symbolic link entry becomes one) stands where an entry needs a folder, or the other
// way round. The message names entries only: the staging folder is no business of the user's.
[[noreturn]] void refuseClash(std::string_view entry, std::string_view blocker) {
    throw ConversionError::corruptFile(
        "'" + std::string(entry) + "' cannot be extracted: '" + std::string(blocker) +
        "' is a file or symbolic link in this archive, not a folder");
}

} // namespace

ExtractionFolder::ExtractionFolder(const fs::path& root) : m_root(root) {
    m_rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_rootFd < 0)
        fail("Cannot open folder", root, errno);
}

ExtractionFolder::~ExtractionFolder() {
    if (m_lastParentFd >= 0)
        ::close(m_lastParentFd);
    if (m_rootFd >= 0)
        ::close(m_rootFd);
}

int ExtractionFolder::parentFolder(std::string_view parent, std::string_view entry,
                                   const fs::path& where) {
    // Entries usually come folder by folder: the last parent's descriptor serves the next one.
    if (m_lastParentFd >= 0 && parent == m_lastParent)
        return m_lastParentFd;
    Fd current(::dup(m_rootFd));
    if (current.get() < 0)
        fail("Cannot open folder", m_root, errno);
    std::size_t start = 0;
    while (start < parent.size()) {
        std::size_t slash = parent.find('/', start);
        if (slash == std::string_view::npos)
            slash = parent.size();
        const std::string part(parent.substr(start, slash - start));
        start = slash + 1;
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(current.get(), part.c_str(), kFlags);
        if (next < 0 && errno == ENOENT) {
            if (::mkdirat(current.get(), part.c_str(), 0755) != 0 && errno != EEXIST) {
                fail("Cannot create folder", where, errno);
            }
            next = ::openat(current.get(), part.c_str(), kFlags);
        }
        if (next < 0 && (errno == ENOTDIR || errno == ELOOP))
            refuseClash(entry, parent.substr(0, slash));
        if (next < 0)
            fail("Cannot create folder", where, errno);
        current = Fd(next);
    }
    if (m_lastParentFd >= 0)
        ::close(m_lastParentFd);
    m_lastParentFd = current.release();
    m_lastParent = std::string(parent);
    return m_lastParentFd;
}

void ExtractionFolder::writeFile(std::string_view relativePath, ByteView bytes) {
    const fs::path where = m_root / fs::path(std::string(relativePath));
    const std::size_t slash = relativePath.rfind('/');
    const std::string_view parent =
        slash == std::string_view::npos ? std::string_view() : relativePath.substr(0, slash);
    const std::string name(slash == std::string_view::npos ? relativePath
                                                           : relativePath.substr(slash + 1));
    const int folder = parentFolder(parent, relativePath, where);
    const Fd file(::openat(folder, name.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.get() < 0 && errno == ELOOP)
        refuseClash(relativePath, relativePath);
    if (file.get() < 0 && errno == EISDIR) {
        throw ConversionError::corruptFile("'" + std::string(relativePath) +
                                           "' is both a file and a folder in this archive");
    }
    if (file.get() < 0)
        fail("Cannot write file", where, errno);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t put = ::write(file.get(), bytes.data() + written, bytes.size() - written);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            fail("Cannot write file", where, errno);
        }
        written += static_cast<std::size_t>(put);
    }
}

void ExtractionFolder::noteFolder(std::string relativePath) {
    if (!relativePath.empty())
        m_folders.push_back(std::move(relativePath));
}

void ExtractionFolder::warnAboutEmptyFolders() const {
    std::vector<std::string> empty;
    for (const std::string& folder : m_folders) {
        struct stat info {};
        if (::fstatat(m_rootFd, folder.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            empty.push_back(folder + "/");
    }
    if (empty.empty())
        return;
    ConversionLogger::shared().warning(std::to_string(empty.size()) +
                                           " empty folder(s) not carried over (" +
                                           firstThreeNames(empty) + ")",
                                       "Archive");
}

std::string firstThreeNames(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < 3; ++i) {
        if (i > 0)
            text += ", ";
        text += names[i];
    }
    if (names.size() > 3)
        text += " and " + std::to_string(names.size() - 3) + " more";
    return text;
}

} // namespace kv::ArchiveConverter
