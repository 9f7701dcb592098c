// The shared, bounded conversion log; every line is echoed as it is added.
#pragma once

#include "base/uuid.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

struct LogEntry {
    enum class Level { info, success, warning, error, debug };

    Uuid id;
    std::chrono::system_clock::time_point timestamp;
    Level level = Level::info;
    std::string category;
    std::string message;
    std::optional<std::string> detail;

    /// "[10:15:02.034] [OK] [Engine] Completed in 1.2s → 12 KB — a.png"
    std::string oneLiner() const;
};

/// "INFO", "OK", "WARN", "ERROR", "DEBUG".
std::string_view rawValue(LogEntry::Level level);

class ConversionLogger {
  public:
    enum class Echo { none, standardOutput, standardError };

    static constexpr std::size_t kMaxEntries = 500;
    static constexpr std::size_t kTrimTarget = 400;

    /// The one logger of the process.
    static ConversionLogger& shared();

    void info(std::string_view message, std::string_view category,
              std::optional<std::string> detail = {});
    void success(std::string_view message, std::string_view category,
                 std::optional<std::string> detail = {});
    void warning(std::string_view message, std::string_view category,
                 std::optional<std::string> detail = {});
    void error(std::string_view message, std::string_view category,
               std::optional<std::string> detail = {});
    void debug(std::string_view message, std::string_view category,
               std::optional<std::string> detail = {});

    /// Empties the log; prints nothing.
    void clear();
    /// A copy of the entries, oldest first.
    std::vector<LogEntry> entries() const;
    /// Every entry's one-liner, joined by "\n", no trailing newline.
    std::string exportText() const;

    /// Where each new line is echoed: stderr in headless modes, stdout in the desktop window.
    void setEcho(Echo echo);
    /// Called after every change, outside the lock (the window posts it to its own thread).
    void setObserver(std::function<void()> observer);

  private:
    void append(LogEntry::Level level, std::string_view category, std::string_view message,
                std::optional<std::string> detail);

    mutable std::mutex m_lock;
    std::vector<LogEntry> m_entries;
    Echo m_echo = Echo::standardError;
    std::function<void()> m_observer;
};

} // namespace kv
