// A kelvane process run in the background.
#include "support/background_process.h"

#include "support/test_support.h"

#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kv::test {

BackgroundKelvane::BackgroundKelvane(const std::vector<std::string>& args,
                                     const std::vector<std::string>& environment) {
    char pattern[] = "/tmp/kv-background-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp");
    m_scratch = pattern;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (m_scratch / "stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (m_scratch / "stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argv{KV_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> rawArgs;
    for (auto& a : argv)
        rawArgs.push_back(a.data());
    rawArgs.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto& extra : environment)
            replaced = replaced || extra.rfind(name, 0) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> rawEnv;
    for (auto& e : env)
        rawEnv.push_back(e.data());
    rawEnv.push_back(nullptr);
    const int spawned =
        posix_spawn(&m_pid, rawArgs[0], &actions, nullptr, rawArgs.data(), rawEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawned));
}

BackgroundKelvane::~BackgroundKelvane() {
    if (!m_ended && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        wait();
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_scratch, ignored);
}

void BackgroundKelvane::signal(int number) const {
    if (!m_ended)
        ::kill(m_pid, number);
}

void BackgroundKelvane::reap(int status, long peakKiB) {
    m_ended = true;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_peakKiB = peakKiB;
}

bool BackgroundKelvane::running() {
    if (m_ended)
        return false;
    int status = 0;
    struct rusage usage {};
    if (::wait4(m_pid, &status, WNOHANG, &usage) == m_pid)
        reap(status, usage.ru_maxrss);
    return !m_ended;
}

int BackgroundKelvane::wait() {
    if (m_ended)
        return m_status;
    int status = 0;
    struct rusage usage {};
    while (::wait4(m_pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    reap(status, usage.ru_maxrss);
    return m_status;
}

std::string BackgroundKelvane::standardError() const {
    return readFile(m_scratch / "stderr");
}
std::string BackgroundKelvane::standardOutput() const {
    return readFile(m_scratch / "stdout");
}

} // namespace kv::test
