// Publishing outputs: complete or not at all, never following or replacing an existing entry.
#include "engine/output_file.h"

#include "base/uuid.h"
#include "engine/conversion_error.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kv {
namespace {

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "write");
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Moves `from` to `to` only if nothing exists at `to`.
bool publishNoReplace(const std::filesystem::path& from, const std::filesystem::path& to, bool isFolder) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: a hard link fails if the name exists.
    if (isFolder) return false;
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

}  // namespace

PendingOutput::PendingOutput(std::filesystem::path destination, Kind kind)
    : m_destination(std::move(destination)), m_kind(kind) {
    const auto folder = m_destination.parent_path();
    m_temporary = folder / (".kelvane-" + Uuid::random().toString().substr(0, 8) + "-" +
                            m_destination.filename().string());
    if (m_kind == Kind::file) {
        const int fd = ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) throw ConversionError::failedToCreateOutput();
        ::close(fd);
    } else if (::mkdir(m_temporary.c_str(), 0755) != 0) {
        throw ConversionError::failedToCreateOutput();
    }
}

PendingOutput::~PendingOutput() {
    if (m_committed) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_temporary, ignored);
}

void PendingOutput::write(std::span<const std::uint8_t> bytes) {
    const int fd = ::open(m_temporary.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw ConversionError::failedToCreateOutput();
    try {
        writeAll(fd, bytes.data(), bytes.size());
    } catch (...) {
        ::close(fd);
        throw ConversionError::failedToCreateOutput();
    }
    if (::close(fd) != 0) throw ConversionError::failedToCreateOutput();
}

void PendingOutput::write(std::string_view bytes) {
    write(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::filesystem::path PendingOutput::commit() {
    if (!publishNoReplace(m_temporary, m_destination, m_kind == Kind::folder)) {
        throw ConversionError::failedToCreateOutput();
    }
    m_committed = true;
    return m_destination;
}

std::filesystem::path writeOutputFile(const std::filesystem::path& destination, std::span<const std::uint8_t> bytes) {
    PendingOutput output(destination);
    output.write(bytes);
    return output.commit();
}

std::filesystem::path writeOutputFile(const std::filesystem::path& destination, std::string_view bytes) {
    PendingOutput output(destination);
    output.write(bytes);
    return output.commit();
}

}  // namespace kv
