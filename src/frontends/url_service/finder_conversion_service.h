// The file-manager service: "kelvane://convert?src=…&fmt=…" and "kelvane://compress?src=…&level=…".
#pragma once

#include "formats/supported_format.h"
#include "frontends/url_service/concurrency_limits.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kv {

/// Runs each valid request on a worker of its own, within the concurrency limits; results and
/// failures go to the conversion log only (and, in background mode, to one desktop notification
/// per group of requests that ran together). Thread-safe.
class FinderConversionService {
  public:
    static constexpr std::chrono::milliseconds kIdleQuit{4000};

    /// How a finished request ended, for the notification.
    struct Result {
        bool succeeded = false;
        std::string text; ///< the output's file name, or the reason for the failure
    };

    struct Options {
        std::chrono::milliseconds idleQuit = kIdleQuit;
        /// Called with the results of requests that ran together, once none is left running.
        std::function<void(const std::vector<Result>&)> notify;
        /// "kelvane://compress?…&choose=1": the window's compression chooser for this file.
        std::function<void(const std::filesystem::path&)> openCompressPicker;
    };

    FinderConversionService();
    explicit FinderConversionService(Options options);
    /// Waits for the requests under way.
    ~FinderConversionService();
    FinderConversionService(const FinderConversionService&) = delete;
    FinderConversionService& operator=(const FinderConversionService&) = delete;

    /// Entry for every service URL; anything malformed is ignored silently.
    void handle(std::string_view url);
    /// From now on the process quits once nothing has run for `idleQuit`.
    void enterBackgroundMode();
    bool isBackgroundWorker() const;
    int activeJobs() const;

    /// In background mode: blocks until no request has run for `idleQuit` (counting from now when
    /// none ever started). Returns at once in foreground mode.
    void waitUntilIdle();

  private:
    void start(std::function<Result()> work);
    void jobFinished(Result result);
    Result convert(const std::filesystem::path& source, SupportedFormat target);
    void handleCompress(const struct ServiceUrl& url);

    Options m_options;
    ConcurrencyLimits m_limits;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_isBackgroundWorker = false;
    int m_activeJobs = 0;
    std::optional<std::chrono::steady_clock::time_point> m_idleQuitAt;
    std::vector<Result> m_finished;
    struct Worker {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Worker> m_workers;
};

/// Notifies the desktop: the output name on success, the reason on failure; one notification
/// for a group.
void notifyDesktop(const std::vector<FinderConversionService::Result>& results);

} // namespace kv
