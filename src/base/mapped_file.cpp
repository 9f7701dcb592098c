#include "base/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

MappedFile::MappedFile(const std::filesystem::path& file, bool sequential) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const auto size = static_cast<std::size_t>(info.st_size);
        if (size == 0) {
            m_readable = true;
        } else {
            void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (data != MAP_FAILED) {
                if (sequential)
                    static_cast<void>(::madvise(data, size, MADV_SEQUENTIAL));
                m_data = static_cast<const std::uint8_t*>(data);
                m_size = size;
                m_readable = true;
            }
        }
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (m_data != nullptr)
        ::munmap(const_cast<std::uint8_t*>(m_data), m_size);
}

} // namespace kv
