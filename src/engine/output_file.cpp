// Publishing outputs: complete or not at all, never following or replacing an existing entry.
#include "engine/output_file.h"

#include "base/uuid.h"
#include "engine/conversion_error.h"
#include "engine/leftovers.h"
#include "engine/output_name_registry.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

namespace kv {
namespace {

thread_local PublishCheck* t_check = nullptr;

// Attempts at another name when other processes keep taking the one reserved.
constexpr int kPublishAttempts = 1000;

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throwOutputFailure(errno);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

enum class Publish { done, nameTaken, failed };

// Moves `from` to `to` only if nothing exists at `to`.
Publish publishNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                         bool isFolder) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return Publish::done;
    if (errno == EEXIST)
        return Publish::nameTaken;
    if (errno != EINVAL && errno != ENOSYS)
        return Publish::failed;
    // File systems without RENAME_NOREPLACE: a hard link fails if the name exists.
    if (isFolder)
        return Publish::failed;
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno == EEXIST ? Publish::nameTaken : Publish::failed;
    ::unlink(from.c_str());
    return Publish::done;
}

// The extension of a destination name, kept on the pending name when it is short.
std::string pendingSuffix(const std::filesystem::path& destination) {
    const std::string ext = destination.extension().string();
    return ext.size() <= 16 ? ext : std::string();
}

} // namespace

void throwOutputFailure(int error) {
    if (error == ENOSPC || error == EDQUOT || error == EROFS || error == EACCES || error == EPERM ||
        error == EFBIG)
        throw std::system_error(error, std::generic_category(), "Could not write the output file");
    throw ConversionError::failedToCreateOutput();
}

PendingOutput::PendingOutput(std::filesystem::path destination, Kind kind)
    : m_destination(std::move(destination)), m_kind(kind) {
    const auto folder = m_destination.parent_path();
    m_temporary =
        folder / (".kv-" + Leftovers::ownerTag() + "-" + Uuid::random().toString().substr(0, 8) +
                  (m_kind == Kind::file ? pendingSuffix(m_destination) : std::string()));
    // Journalled before it exists, so that no moment leaves it unknown to a later sweep.
    Leftovers::track(m_temporary);
    int error = 0;
    if (m_kind == Kind::file) {
        const int fd =
            ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            error = errno;
        else
            ::close(fd);
    } else if (::mkdir(m_temporary.c_str(), 0755) != 0) {
        error = errno;
    }
    if (error != 0) {
        Leftovers::untrack(m_temporary);
        throwOutputFailure(error);
    }
}

PendingOutput::~PendingOutput() {
    if (m_committed)
        return;
    std::error_code ignored;
    std::filesystem::remove_all(m_temporary, ignored);
    Leftovers::untrack(m_temporary);
}

void PendingOutput::write(std::span<const std::uint8_t> bytes) {
    const int fd = ::open(m_temporary.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throwOutputFailure(errno);
    try {
        writeAll(fd, bytes.data(), bytes.size());
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0)
        throwOutputFailure(errno);
}

void PendingOutput::write(std::string_view bytes) {
    write(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void PendingOutput::throwIfOutOfSpace() const {
    // Less than this is no room for any output worth writing.
    constexpr std::uint64_t kNearlyFullBytes = 64 * 1024;
    struct statvfs info {};
    if (::statvfs(m_temporary.parent_path().c_str(), &info) != 0)
        return;
    if ((info.f_flag & ST_RDONLY) != 0)
        throwOutputFailure(EROFS);
    if (static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize < kNearlyFullBytes)
        throwOutputFailure(ENOSPC);
}

std::filesystem::path PendingOutput::commit() {
    PublishCheck* const check =
        t_check != nullptr && t_check->covers(m_destination) ? t_check : nullptr;
    if (check != nullptr && check->m_check)
        check->m_check(m_temporary, m_destination, m_kind);
    for (int attempt = 0;; ++attempt) {
        const Publish result = publishNoReplace(m_temporary, m_destination, m_kind == Kind::folder);
        if (result == Publish::done)
            break;
        // Another process published under this name since it was reserved: take the next one,
        // where a PublishCheck tells the caller where the output went.
        if (result == Publish::failed || attempt == kPublishAttempts || check == nullptr)
            throwOutputFailure(errno);
        m_destination = OutputNameRegistry::shared().reserveAnother(m_destination);
    }
    m_committed = true;
    Leftovers::untrack(m_temporary);
    if (check != nullptr)
        check->m_published.push_back(m_destination);
    return m_destination;
}

PublishCheck::PublishCheck(std::filesystem::path folder, Check check)
    : m_folder(std::filesystem::absolute(folder).lexically_normal()), m_check(std::move(check)),
      m_outer(t_check) {
    t_check = this;
}

bool PublishCheck::covers(const std::filesystem::path& destination) const {
    std::filesystem::path parent =
        std::filesystem::absolute(destination).lexically_normal().parent_path();
    std::filesystem::path folder = m_folder;
    // "out/" and "out" are the same folder.
    if (!folder.has_filename())
        folder = folder.parent_path();
    return parent == folder;
}

PublishCheck::~PublishCheck() {
    t_check = m_outer;
}

std::filesystem::path writeOutputFile(const std::filesystem::path& destination,
                                      std::span<const std::uint8_t> bytes) {
    PendingOutput output(destination);
    output.write(bytes);
    return output.commit();
}

std::filesystem::path writeOutputFile(const std::filesystem::path& destination,
                                      std::string_view bytes) {
    PendingOutput output(destination);
    output.write(bytes);
    return output.commit();
}

} // namespace kv
