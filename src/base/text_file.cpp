// Whole-file reads that never throw, for the output checks.
#include "base/text_file.h"

#include "base/utf8.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
    // Non-blocking, so that a FIFO posing as the file never stalls the open.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    if (filled != bytes.size())
        return std::nullopt;
    return bytes;
}

std::optional<std::string> readUtf8File(const std::filesystem::path& file) {
    auto bytes = readWholeFile(file);
    if (!bytes || !isValidUtf8(*bytes))
        return std::nullopt;
    if (bytes->starts_with("\xEF\xBB\xBF"))
        bytes->erase(0, 3);
    return bytes;
}

} // namespace kv
