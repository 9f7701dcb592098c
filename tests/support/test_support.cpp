// Shared test helpers: temporary folders, file writing, and running the kelvane binary.
#include "support/test_support.h"

#include "base/uuid.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kv::test {

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
    if (const char* old = std::getenv(name))
        m_old = old;
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (m_old)
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

ScopedTmpdir::ScopedTmpdir(const std::filesystem::path& dir)
    : m_dir((std::filesystem::create_directories(dir), dir)), m_env("TMPDIR", dir.string()) {}

ConvertRequest makeRequest(const std::filesystem::path& source, SupportedFormat from,
                           SupportedFormat to, const std::filesystem::path& outputDir) {
    ConvertRequest request;
    request.source = source;
    request.sourceFormat = from;
    request.target = to;
    request.outputDir = outputDir;
    return request;
}

TempDir::TempDir()
    : m_path(std::filesystem::temp_directory_path() / ("kv-test-" + Uuid::random().toString())) {
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may make folders read-only; give write access back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

void writeFile(const std::filesystem::path& file, std::string_view bytes) {
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return std::move(buffer).str();
}

RunResult runProgram(const std::vector<std::string>& argv) {
    TempDir scratch;
    const auto outPath = scratch / "stdout";
    const auto errPath = scratch / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> raw;
    for (const auto& a : argv)
        raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    RunResult result;
    if (spawned != 0)
        return result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

RunResult runKelvane(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KV_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

bool haveTool(std::string_view name) {
    return runProgram({"sh", "-c", "command -v " + std::string(name) + " >/dev/null"}).exitCode ==
           0;
}

std::filesystem::path convertWithKelvane(const std::filesystem::path& source,
                                         std::string_view target,
                                         const std::filesystem::path& outDir) {
    const auto result =
        runKelvane({"--convert", source.string(), std::string(target), outDir.string()});
    EXPECT_EQ(result.exitCode, 0) << source << " \u2192 " << target << "\n" << result.err;
    std::string path = result.out;
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
        path.pop_back();
    return path;
}

std::map<std::string, std::string> ffprobeFields(const std::filesystem::path& file) {
    const auto r = runProgram(
        {"ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "flat", file.string()});
    std::map<std::string, std::string> fields;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"')
            value = value.substr(1, value.size() - 2);
        fields[line.substr(0, eq)] = value;
    }
    return fields;
}

} // namespace kv::test
