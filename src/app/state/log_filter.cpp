// What the log panel shows.
#include "app/state/log_filter.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace kv {
namespace {

icu::UnicodeString folded(std::string_view text) {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    unicode.foldCase(U_FOLD_CASE_DEFAULT);
    return unicode;
}

} // namespace

bool localizedContains(std::string_view text, std::string_view query) {
    if (query.empty())
        return true;
    return folded(text).indexOf(folded(query)) >= 0;
}

bool LogFilter::matches(const LogEntry& entry) const {
    if (level && entry.level != *level)
        return false;
    if (searchText.empty())
        return true;
    const icu::UnicodeString query = folded(searchText);
    const std::string_view detail = entry.detail ? std::string_view(*entry.detail) : "";
    for (const std::string_view field :
         {std::string_view(entry.message), std::string_view(entry.category), detail}) {
        if (folded(field).indexOf(query) >= 0)
            return true;
    }
    return false;
}

std::vector<LogEntry> LogFilter::apply(const std::vector<LogEntry>& entries) const {
    std::vector<LogEntry> visible;
    for (const auto& entry : entries)
        if (matches(entry))
            visible.push_back(entry);
    return visible;
}

const std::vector<LogFilterButton>& logFilterButtons() {
    static const std::vector<LogFilterButton> buttons{
        {"All", std::nullopt},
        {"Errors", LogEntry::Level::error},
        {"Warnings", LogEntry::Level::warning},
    };
    return buttons;
}

std::string_view logEmptyText(std::size_t totalEntries, std::size_t visibleEntries) {
    if (visibleEntries > 0)
        return {};
    return totalEntries == 0 ? "No logs yet" : "No matching logs";
}

} // namespace kv
