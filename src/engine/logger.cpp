// The shared, bounded conversion log.
#include "engine/logger.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace kv {

std::string_view rawValue(LogEntry::Level level) {
    switch (level) {
    case LogEntry::Level::info: return "INFO";
    case LogEntry::Level::success: return "OK";
    case LogEntry::Level::warning: return "WARN";
    case LogEntry::Level::error: return "ERROR";
    case LogEntry::Level::debug: return "DEBUG";
    }
    return "INFO";
}

std::string LogEntry::oneLiner() const {
    using namespace std::chrono;
    const auto seconds = system_clock::to_time_t(timestamp);
    const auto millis = duration_cast<milliseconds>(timestamp.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    std::array<char, 32> clock{};
    std::snprintf(clock.data(), clock.size(), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis));
    std::string line = "[" + std::string(clock.data()) + "] [" + std::string(rawValue(level)) +
                       "] [" + category + "] " + message;
    if (detail)
        line += " \u2014 " + *detail;
    return line;
}

ConversionLogger& ConversionLogger::shared() {
    static ConversionLogger logger;
    return logger;
}

void ConversionLogger::info(std::string_view m, std::string_view c, std::optional<std::string> d) {
    append(LogEntry::Level::info, c, m, std::move(d));
}
void ConversionLogger::success(std::string_view m, std::string_view c,
                               std::optional<std::string> d) {
    append(LogEntry::Level::success, c, m, std::move(d));
}
void ConversionLogger::warning(std::string_view m, std::string_view c,
                               std::optional<std::string> d) {
    append(LogEntry::Level::warning, c, m, std::move(d));
}
void ConversionLogger::error(std::string_view m, std::string_view c, std::optional<std::string> d) {
    append(LogEntry::Level::error, c, m, std::move(d));
}
void ConversionLogger::debug(std::string_view m, std::string_view c, std::optional<std::string> d) {
    append(LogEntry::Level::debug, c, m, std::move(d));
}

void ConversionLogger::append(LogEntry::Level level, std::string_view category,
                              std::string_view message, std::optional<std::string> detail) {
    LogEntry entry{Uuid::random(),
                   std::chrono::system_clock::now(),
                   level,
                   std::string(category),
                   std::string(message),
                   std::move(detail)};
    std::function<void()> observer;
    {
        // Printing under the lock keeps the echoed lines in append order.
        const std::lock_guard lock(m_lock);
        if (m_echo != Echo::none) {
            std::FILE* stream = m_echo == Echo::standardOutput ? stdout : stderr;
            const std::string line = entry.oneLiner() + "\n";
            std::fwrite(line.data(), 1, line.size(), stream);
            std::fflush(stream);
        }
        m_entries.push_back(std::move(entry));
        if (m_entries.size() > kMaxEntries) {
            m_entries.erase(m_entries.begin(),
                            m_entries.begin() +
                                static_cast<std::ptrdiff_t>(m_entries.size() - kTrimTarget));
        }
        observer = m_observer;
    }
    if (observer)
        observer();
}

void ConversionLogger::clear() {
    std::function<void()> observer;
    {
        const std::lock_guard lock(m_lock);
        m_entries.clear();
        observer = m_observer;
    }
    if (observer)
        observer();
}

std::vector<LogEntry> ConversionLogger::entries() const {
    const std::lock_guard lock(m_lock);
    return m_entries;
}

std::string ConversionLogger::exportText() const {
    const std::lock_guard lock(m_lock);
    std::string text;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += m_entries[i].oneLiner();
    }
    return text;
}

void ConversionLogger::setEcho(Echo echo) {
    const std::lock_guard lock(m_lock);
    m_echo = echo;
}

void ConversionLogger::setObserver(std::function<void()> observer) {
    const std::lock_guard lock(m_lock);
    m_observer = std::move(observer);
}

} // namespace kv
