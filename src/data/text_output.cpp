// Writer output in memory or streamed to a file.
#include "data/text_output.h"

#include "engine/conversion_error.h"
#include "engine/output_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kv::DataConverter {

TextOutput::TextOutput(const std::filesystem::path& file) {
    m_fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0)
        throwOutputFailure(errno);
    m_buffer.reserve(kChunkBytes + 65536);
}

TextOutput::~TextOutput() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void TextOutput::flush() {
    if (m_fd < 0)
        return;
    const char* data = m_buffer.data();
    std::size_t left = m_buffer.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throwOutputFailure(errno);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    m_buffer.clear();
}

void TextOutput::finish() {
    flush();
    if (m_fd >= 0) {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0)
            throwOutputFailure(errno);
    }
}

} // namespace kv::DataConverter
