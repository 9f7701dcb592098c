// Child processes with a private HOME and XDG folders, for the service and bus tests.
#pragma once

#include "support/test_support.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kv::test {

/// HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_RUNTIME_DIR (0700) and TMPDIR under one temp folder;
/// no session bus unless `busAddress` is set.
struct PrivateSession {
    TempDir root;
    std::string busAddress = "unix:path=/nonexistent/kelvane-test-bus";

    PrivateSession();
    std::filesystem::path home() const { return root.path() / "home"; }
    std::filesystem::path config() const { return root.path() / "config"; }
    std::filesystem::path data() const { return root.path() / "data"; }
    std::filesystem::path runtime() const { return root.path() / "run"; }
    /// The environment of the parent with the private folders in place.
    std::vector<std::string> environment() const;
};

struct Child {
    pid_t pid = -1;
    std::chrono::steady_clock::time_point started;
};

/// Starts argv[0] (searched on PATH) in `session`'s environment; output goes to `log`.
Child spawnIn(const PrivateSession& session, const std::vector<std::string>& argv,
              const std::filesystem::path& log);
/// Waits for the child and returns its exit status and when it ended.
std::pair<int, std::chrono::steady_clock::time_point> waitFor(const Child& child);
/// Runs to completion and captures the output.
RunResult runIn(const PrivateSession& session, const std::vector<std::string>& argv);

/// A session bus of our own (dbus-daemon), whose activation folders are the private session's;
/// sets the session's bus address. Stopped when destroyed.
class PrivateBus {
  public:
    explicit PrivateBus(PrivateSession& session);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    bool running() const { return m_pid > 0 && !m_address.empty(); }
    const std::string& address() const { return m_address; }

  private:
    std::string m_address;
    pid_t m_pid = -1;
};

} // namespace kv::test
