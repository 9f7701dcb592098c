// What the log panel shows: the conversion log filtered by level and by a search text.
#pragma once

#include "engine/logger.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

struct LogFilter {
    /// Exactly this level, or every level when absent.
    std::optional<LogEntry::Level> level;
    /// Kept when message, category or detail contains it, ignoring case by the user's locale.
    std::string searchText;

    /// The entries that pass, in their order.
    std::vector<LogEntry> apply(const std::vector<LogEntry>& entries) const;
    bool matches(const LogEntry& entry) const;

    friend bool operator==(const LogFilter&, const LogFilter&) = default;
};

/// The panel's filter buttons, in order: "All", "Errors", "Warnings".
struct LogFilterButton {
    std::string_view title;
    std::optional<LogEntry::Level> level;
};
const std::vector<LogFilterButton>& logFilterButtons();

/// "No logs yet" for an empty log, "No matching logs" when the filter hides every entry, empty
/// text when something is visible.
std::string_view logEmptyText(std::size_t totalEntries, std::size_t visibleEntries);

/// Case-insensitive containment by the user's locale (ICU case folding of both texts).
bool localizedContains(std::string_view text, std::string_view query);

inline constexpr std::string_view kLogPanelTitle = "Conversion log";
inline constexpr std::string_view kLogSearchPlaceholder = "Filter logs\u2026";
inline constexpr std::string_view kLogClearTitle = "Clear logs";
inline constexpr std::string_view kLogCloseHelp = "Close log panel (\u2318L)";

} // namespace kv
