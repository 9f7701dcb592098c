// A kelvane process run in the background, for tests that interrupt, race or measure it.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kv::test {

class BackgroundKelvane {
  public:
    /// Starts the built kelvane binary with `args`; `environment` entries ("NAME=value") are
    /// added to this process's environment. Standard output and error go to files.
    explicit BackgroundKelvane(const std::vector<std::string>& args,
                               const std::vector<std::string>& environment = {});
    /// Kills and reaps the process if it still runs.
    ~BackgroundKelvane();
    BackgroundKelvane(const BackgroundKelvane&) = delete;
    BackgroundKelvane& operator=(const BackgroundKelvane&) = delete;

    pid_t pid() const { return m_pid; }
    void signal(int number) const;
    /// Whether it has not ended yet (reaps it when it has).
    bool running();
    /// Waits for the end: the exit status, or 128 + the signal that ended it.
    int wait();
    /// After wait: the peak resident set size in KiB.
    long peakRSSKiB() const { return m_peakKiB; }
    std::string standardError() const;
    std::string standardOutput() const;

  private:
    void reap(int status, long peakKiB);
    std::filesystem::path m_scratch;
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_status = -1;
    long m_peakKiB = 0;
};

} // namespace kv::test
