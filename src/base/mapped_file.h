// A read-only view of a whole regular file, mapped rather than copied: checks that read large
// outputs front to back, or in parallel pieces, need no second copy in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace kv {

class MappedFile {
  public:
    /// Maps `file`; `sequential` tells the kernel to read ahead. Never throws: see readable().
    explicit MappedFile(const std::filesystem::path& file, bool sequential = false);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    /// False when the file could not be opened or mapped, or is not a regular file.
    bool readable() const { return m_readable; }
    /// The contents (empty for an empty or unreadable file).
    std::span<const std::uint8_t> bytes() const { return {m_data, m_size}; }
    std::string_view text() const { return {reinterpret_cast<const char*>(m_data), m_size}; }

  private:
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    bool m_readable = false;
};

} // namespace kv
