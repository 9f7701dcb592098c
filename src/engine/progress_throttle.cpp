// Rate limiter between a converter's progress reports and their consumer.
#include "engine/progress_throttle.h"

#include <cmath>

namespace kv {

ProgressThrottle::ProgressThrottle(Uuid jobID, Sink sink, Clock clock)
    : m_jobID(jobID), m_sink(std::move(sink)), m_clock(std::move(clock)) {
    if (!m_clock) {
        m_clock = [] {
            return std::chrono::duration<double>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
    }
}

void ProgressThrottle::callback(double value) {
    const double now = m_clock();
    {
        const std::lock_guard lock(m_lock);
        const bool always = value >= 1.0 || m_lastValue < 0.0;
        if (!always &&
            (std::fabs(value - m_lastValue) < kMinDelta || now - m_lastEmit < kMinInterval)) {
            return;
        }
        m_lastValue = value;
        m_lastEmit = now;
    }
    if (m_sink)
        m_sink(m_jobID, value);
}

} // namespace kv
