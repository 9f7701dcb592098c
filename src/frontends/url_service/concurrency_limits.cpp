// How many conversions run at once: a total, and within it two videos, one document, one archive.
#include "frontends/url_service/concurrency_limits.h"

#include <algorithm>
#include <thread>

namespace kv {

int ConcurrencyLimits::defaultTotal() {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(cores - 2, 2, 6);
}

int ConcurrencyLimits::categoryLimit(FileCategory category) {
    switch (category) {
    case FileCategory::video: return 2;
    case FileCategory::document: return 1;
    case FileCategory::archive: return 1;
    default: return 0;
    }
}

ConcurrencyLimits::ConcurrencyLimits(int total) : m_total(std::max(total, 1)) {}

ConcurrencyLimits::Slot::Slot(ConcurrencyLimits& limits, FileCategory category)
    : m_limits(limits), m_category(category) {
    std::unique_lock guard(limits.m_lock);
    const int limit = categoryLimit(category);
    limits.m_freed.wait(guard, [&] {
        return limits.m_running < limits.m_total &&
               (limit == 0 || limits.m_byCategory[category] < limit);
    });
    ++limits.m_running;
    ++limits.m_byCategory[category];
}

ConcurrencyLimits::Slot::~Slot() {
    {
        std::lock_guard guard(m_limits.m_lock);
        --m_limits.m_running;
        --m_limits.m_byCategory[m_category];
    }
    m_limits.m_freed.notify_all();
}

} // namespace kv
