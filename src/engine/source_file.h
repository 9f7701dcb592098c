// Reading sources: opened once, checked to be a regular file before anything is read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kv {

/// Throws unless `path` names a regular file that can be opened for reading: fileAccessDenied for
/// a missing or unreadable file, NotARegularFile for a folder, FIFO or device.
void checkSourceFile(const std::filesystem::path& path);

/// The whole file, read through one descriptor after the same checks.
std::string readSourceFile(const std::filesystem::path& path);
std::vector<std::uint8_t> readSourceBytes(const std::filesystem::path& path);

/// The size in bytes, or 0 when it cannot be read.
std::int64_t sourceFileSize(const std::filesystem::path& path);

/// A source that is a folder, FIFO, device or socket.
class NotARegularFile : public std::runtime_error {
  public:
    explicit NotARegularFile(const std::filesystem::path& path);
};

} // namespace kv
