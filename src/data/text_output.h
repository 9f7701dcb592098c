// Where the table and subtitle writers put their text: memory, or a file in large chunks.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kv::DataConverter {

/// Collects text in memory, or, when given a file, streams it there in large chunks so that a
/// writer never holds a whole multi-hundred-megabyte output at once.
class TextOutput {
  public:
    TextOutput() = default;
    /// Truncates `file` (which must exist: a pending output's temporary file) and writes to it.
    explicit TextOutput(const std::filesystem::path& file);
    ~TextOutput();
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;

    void append(std::string_view text) {
        m_buffer.append(text);
        if (m_buffer.size() >= kChunkBytes)
            flush();
    }
    void append(char c) {
        m_buffer.push_back(c);
        if (m_buffer.size() >= kChunkBytes)
            flush();
    }
    /// Writes out what is buffered; throws failedToCreateOutput when the write fails.
    void finish();
    /// The collected text (memory mode).
    std::string take() { return std::move(m_buffer); }

  private:
    static constexpr std::size_t kChunkBytes = 4u
                                               << 20; // large enough that write calls cost nothing
    void flush();

    std::string m_buffer;
    int m_fd = -1;
};

} // namespace kv::DataConverter
