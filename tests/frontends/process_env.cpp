#include "process_env.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace kv::test {

PrivateSession::PrivateSession() {
    for (const auto& folder : {home(), config(), data(), runtime(), root.path() / "tmp"})
        std::filesystem::create_directories(folder);
    ::chmod(runtime().c_str(), 0700);
}

std::vector<std::string> PrivateSession::environment() const {
    const std::map<std::string, std::string> replaced{{"HOME", home().string()},
                                                      {"XDG_CONFIG_HOME", config().string()},
                                                      {"XDG_DATA_HOME", data().string()},
                                                      {"XDG_RUNTIME_DIR", runtime().string()},
                                                      {"TMPDIR", (root.path() / "tmp").string()},
                                                      {"DBUS_SESSION_BUS_ADDRESS", busAddress}};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto name = entry.substr(0, entry.find('='));
        if (!replaced.contains(name) && name != "DISPLAY" && name != "WAYLAND_DISPLAY")
            env.push_back(entry);
    }
    for (const auto& [name, value] : replaced)
        env.push_back(name + "=" + value);
    return env;
}

namespace {

pid_t spawnWithFiles(const PrivateSession& session, const std::vector<std::string>& argv,
                     const std::filesystem::path& out, const std::filesystem::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto envText = session.environment();
    std::vector<char*> env;
    for (const auto& e : envText)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

Child spawnIn(const PrivateSession& session, const std::vector<std::string>& argv,
              const std::filesystem::path& log) {
    Child child;
    child.started = std::chrono::steady_clock::now();
    child.pid = spawnWithFiles(session, argv, log, log);
    return child;
}

std::pair<int, std::chrono::steady_clock::time_point> waitFor(const Child& child) {
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    const auto ended = std::chrono::steady_clock::now();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ended};
}

RunResult runIn(const PrivateSession& session, const std::vector<std::string>& argv) {
    TempDir scratch;
    RunResult result;
    const pid_t pid = spawnWithFiles(session, argv, scratch / "out", scratch / "err");
    if (pid < 0)
        return result;
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(scratch / "out");
    result.err = readFile(scratch / "err");
    return result;
}

PrivateBus::PrivateBus(PrivateSession& session) {
    const auto r = runIn(
        session, {"dbus-daemon", "--session", "--print-address=1", "--print-pid=1", "--fork"});
    std::istringstream lines(r.out);
    std::getline(lines, m_address);
    lines >> m_pid;
    if (!m_address.empty())
        session.busAddress = m_address;
}

PrivateBus::~PrivateBus() {
    if (m_pid > 0)
        ::kill(m_pid, SIGTERM);
}

} // namespace kv::test
