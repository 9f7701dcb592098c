// Delayed calls on the main thread, replaceable by a manual clock in tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace kv {

class Timers {
  public:
    using Id = std::uint64_t;

    virtual ~Timers() = default;
    /// Calls `action` once on the main thread after `delay`; returns a handle for `cancel`.
    virtual Id after(std::chrono::milliseconds delay, std::function<void()> action) = 0;
    /// Forgets a pending call; unknown or finished ids are ignored.
    virtual void cancel(Id id) = 0;

    /// Single-shot QTimers on the calling thread's event loop.
    static std::unique_ptr<Timers> eventLoop();
};

/// A clock that moves only when told to: `advance` runs every call that falls due, in time order.
class ManualTimers final : public Timers {
  public:
    Id after(std::chrono::milliseconds delay, std::function<void()> action) override;
    void cancel(Id id) override;

    void advance(std::chrono::milliseconds step);
    std::chrono::milliseconds now() const { return m_now; }
    std::size_t pending() const { return m_due.size(); }

  private:
    struct Due {
        std::chrono::milliseconds at;
        std::function<void()> action;
    };
    std::chrono::milliseconds m_now{0};
    Id m_next = 1;
    std::map<Id, Due> m_due;
};

} // namespace kv
