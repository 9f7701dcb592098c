// Reading sources: opened once, checked to be a regular file before anything is read.
#include "engine/source_file.h"

#include "engine/conversion_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kv {
namespace {

// O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused after fstat anyway.
int openChecked(const std::filesystem::path& path, struct stat& info) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == EISDIR)
            throw NotARegularFile(path);
        throw ConversionError::fileAccessDenied(path.string());
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw NotARegularFile(path);
    }
    return fd;
}

template <typename Buffer> Buffer readAll(const std::filesystem::path& path) {
    struct stat info {};
    const int fd = openChecked(path, info);
    Buffer buffer;
    // The size is a hint for a regular file; the loop reads what is really there. One spare byte
    // lets the end-of-file read happen without growing (and copying) the whole buffer.
    buffer.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == buffer.size())
            buffer.resize(buffer.size() + 65536);
        const ssize_t got = ::read(fd, buffer.data() + filled, buffer.size() - filled);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            const int code = errno;
            ::close(fd);
            throw std::system_error(code, std::generic_category(), "read " + path.string());
        }
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    buffer.resize(filled);
    return buffer;
}

} // namespace

NotARegularFile::NotARegularFile(const std::filesystem::path& path)
    : std::runtime_error(notARegularFileText(path.string())) {}

void checkSourceFile(const std::filesystem::path& path) {
    struct stat info {};
    ::close(openChecked(path, info));
}

std::string readSourceFile(const std::filesystem::path& path) {
    return readAll<std::string>(path);
}

std::vector<std::uint8_t> readSourceBytes(const std::filesystem::path& path) {
    return readAll<std::vector<std::uint8_t>>(path);
}

std::int64_t sourceFileSize(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return 0;
    return static_cast<std::int64_t>(info.st_size);
}

} // namespace kv
