// Shared test helpers: temporary folders, file writing, and running the kelvane binary.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kv::test {

/// A fresh empty folder under the temp directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(std::string_view name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

/// Writes `bytes` to `file`, creating parent folders.
void writeFile(const std::filesystem::path& file, std::string_view bytes);
/// The whole file's bytes.
std::string readFile(const std::filesystem::path& file);

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

/// Runs a program with arguments (no shell), capturing stdout and stderr.
RunResult runProgram(const std::vector<std::string>& argv);
/// Runs the built kelvane binary with the arguments.
RunResult runKelvane(const std::vector<std::string>& args);
/// Whether a command-line tool is on PATH.
bool haveTool(std::string_view name);

}  // namespace kv::test
