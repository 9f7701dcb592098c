// How many jobs of a batch run at once.
#include "app/state/batch_limits.h"

#include <algorithm>
#include <thread>

namespace kv {

int BatchLimits::activeCores() {
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int BatchLimits::total(int cores) {
    return std::clamp(cores - 2, 2, 6);
}

int BatchLimits::forCategory(FileCategory category, int cores) {
    switch (category) {
    case FileCategory::image: return total(cores);
    case FileCategory::video: return 2;
    case FileCategory::audio:
    case FileCategory::font: return std::clamp(cores - 2, 2, 4);
    case FileCategory::document:
    case FileCategory::archive:
    case FileCategory::unknown: return 1;
    }
    return 1;
}

BatchQueue::BatchQueue(std::deque<Entry> waiting, int cores)
    : m_waiting(std::move(waiting)), m_cores(cores) {}

std::optional<BatchQueue::Entry> BatchQueue::nextEligible() {
    if (m_running >= BatchLimits::total(m_cores))
        return std::nullopt;
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
        if (m_byCategory[it->category] < BatchLimits::forCategory(it->category, m_cores)) {
            const Entry entry = *it;
            m_waiting.erase(it);
            ++m_byCategory[entry.category];
            ++m_running;
            return entry;
        }
    }
    return std::nullopt;
}

void BatchQueue::finished(FileCategory category) {
    --m_byCategory[category];
    --m_running;
}

} // namespace kv
