// Shared test helpers: temporary folders, file writing, and running the kelvane binary.
#pragma once

#include "engine/convert_request.h"

#include <filesystem>
#include <map>
#include <optional>
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

/// An environment variable set (or, with nullopt, removed) for one scope, then put back as it was.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string m_name;
    std::optional<std::string> m_old;
};

/// Points TMPDIR at `dir` (created) for one scope.
class ScopedTmpdir {
  public:
    explicit ScopedTmpdir(const std::filesystem::path& dir);
    /// Whether the folder holds nothing (every staging file was removed).
    bool empty() const { return std::filesystem::is_empty(m_dir); }

  private:
    std::filesystem::path m_dir;
    ScopedEnv m_env;
};

/// A conversion request for `source` (of format `from`) into `to`, written to `outputDir`.
ConvertRequest makeRequest(const std::filesystem::path& source, SupportedFormat from,
                           SupportedFormat to, const std::filesystem::path& outputDir);

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

/// `kelvane --convert source target outDir`, expected to succeed; the printed output path.
std::filesystem::path convertWithKelvane(const std::filesystem::path& source,
                                         std::string_view target,
                                         const std::filesystem::path& outDir);
/// ffprobe's flat listing of streams and format as key → value ("streams.stream.0.width" → "1918").
std::map<std::string, std::string> ffprobeFields(const std::filesystem::path& file);

} // namespace kv::test
