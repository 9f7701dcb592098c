// Delayed calls on the main thread.
#include "app/state/timers.h"

#include <QObject>
#include <QTimer>
#include <vector>

namespace kv {
namespace {

class EventLoopTimers final : public Timers {
  public:
    Id after(std::chrono::milliseconds delay, std::function<void()> action) override {
        const Id id = m_next++;
        auto timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer.get(), &QTimer::timeout, [this, id, action = std::move(action)] {
            // The timer is deleted later: it is the sender of this very call.
            if (auto found = m_timers.find(id); found != m_timers.end()) {
                found->second.release()->deleteLater();
                m_timers.erase(found);
            }
            action();
        });
        timer->start(delay);
        m_timers.emplace(id, std::move(timer));
        return id;
    }

    void cancel(Id id) override { m_timers.erase(id); }

  private:
    Id m_next = 1;
    std::map<Id, std::unique_ptr<QTimer>> m_timers;
};

} // namespace

std::unique_ptr<Timers> Timers::eventLoop() {
    return std::make_unique<EventLoopTimers>();
}

Timers::Id ManualTimers::after(std::chrono::milliseconds delay, std::function<void()> action) {
    const Id id = m_next++;
    m_due.emplace(id, Due{m_now + delay, std::move(action)});
    return id;
}

void ManualTimers::cancel(Id id) {
    m_due.erase(id);
}

void ManualTimers::advance(std::chrono::milliseconds step) {
    const auto end = m_now + step;
    for (;;) {
        auto next = m_due.end();
        for (auto it = m_due.begin(); it != m_due.end(); ++it)
            if (it->second.at <= end && (next == m_due.end() || it->second.at < next->second.at))
                next = it;
        if (next == m_due.end())
            break;
        m_now = next->second.at;
        auto action = std::move(next->second.action);
        m_due.erase(next);
        action();
    }
    m_now = end;
}

} // namespace kv
