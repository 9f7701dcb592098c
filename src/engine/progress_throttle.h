// Rate limiter between a converter's progress reports and their consumer.
#pragma once

#include "base/uuid.h"

#include <chrono>
#include <functional>
#include <mutex>

namespace kv {

class ProgressThrottle {
  public:
    using Sink = std::function<void(const Uuid& jobID, double value)>;
    using Clock = std::function<double()>; // seconds, monotonic

    static constexpr double kMinDelta = 0.02;
    static constexpr double kMinInterval = 1.0 / 12.0; // seconds

    /// `clock` defaults to the steady clock; tests may pass their own.
    ProgressThrottle(Uuid jobID, Sink sink, Clock clock = {});

    /// Passes the first value and every 1.0; otherwise only values at least 0.02 apart and 1/12 s
    /// after the previous emission. The sink runs on the calling thread, outside the lock.
    void callback(double value);

    /// The callback as a plain function object (keeps `this` alive only as long as the throttle).
    std::function<void(double)> handler() {
        return [this](double v) { callback(v); };
    }

  private:
    Uuid m_jobID;
    Sink m_sink;
    Clock m_clock;
    std::mutex m_lock;
    double m_lastValue = -1.0;
    double m_lastEmit = 0.0;
};

} // namespace kv
