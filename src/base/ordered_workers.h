// Work spread over all cores and handed back in submission order: the file encoders' strips and
// tiles, the archive writers' entries and blocks.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace kv {

/// A pool of threads that turns jobs into results while the producer keeps adding jobs, and hands
/// the results back in submission order.
template <typename Job, typename Result> class OrderedWorkers {
  public:
    using Work = std::function<Result(Job&)>;

    /// Starts `threads` workers (at least one); each calls `makeWork` once for its own callable,
    /// so per-thread state (a compressor, scratch buffers) lives in that callable.
    OrderedWorkers(unsigned threads, const std::function<Work()>& makeWork) {
        for (unsigned i = 0; i < std::max(threads, 1u); ++i)
            m_workers.emplace_back([this, work = makeWork()]() mutable { run(work); });
    }

    /// Abandons queued jobs and joins every worker.
    ~OrderedWorkers() {
        {
            std::lock_guard guard(m_lock);
            m_stopping = true;
            m_queue.clear();
        }
        m_workAvailable.notify_all();
        m_workers.clear(); // joins
    }

    OrderedWorkers(const OrderedWorkers&) = delete;
    OrderedWorkers& operator=(const OrderedWorkers&) = delete;

    void submit(Job job) {
        {
            std::lock_guard guard(m_lock);
            m_queue.emplace_back(m_submitted, std::move(job));
        }
        ++m_submitted;
        m_workAvailable.notify_one();
    }

    /// Hands every finished result that is next in order to `consume`. Waits while more than
    /// 2 × threads + 1 jobs are unfinished (so memory stays bounded), or, with `all`, until every
    /// submitted job is consumed. A job's exception is rethrown here when that job's turn comes,
    /// so the first failure in submission order is the one reported.
    void deliver(bool all, const std::function<void(Result&)>& consume) {
        const std::size_t maxInFlight = 2 * m_workers.size() + 1;
        for (;;) {
            Outcome outcome;
            {
                std::unique_lock guard(m_lock);
                m_resultReady.wait(guard, [&] {
                    if (m_done.count(m_delivered) != 0)
                        return true;
                    const std::size_t inFlight = m_submitted - m_delivered;
                    return all ? inFlight == 0 : inFlight < maxInFlight;
                });
                auto it = m_done.find(m_delivered);
                if (it == m_done.end())
                    return;
                outcome = std::move(it->second);
                m_done.erase(it);
            }
            if (outcome.failure)
                std::rethrow_exception(outcome.failure);
            consume(*outcome.result);
            ++m_delivered;
        }
    }

  private:
    struct Outcome {
        std::optional<Result> result;
        std::exception_ptr failure;
    };

    void run(Work& work) {
        for (;;) {
            std::pair<std::size_t, Job> job;
            {
                std::unique_lock guard(m_lock);
                m_workAvailable.wait(guard, [&] { return m_stopping || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            Outcome outcome;
            try {
                outcome.result.emplace(work(job.second));
            } catch (...) {
                outcome.failure = std::current_exception();
            }
            {
                std::lock_guard guard(m_lock);
                m_done.emplace(job.first, std::move(outcome));
            }
            m_resultReady.notify_all();
        }
    }

    std::size_t m_submitted = 0; // producer side only
    std::size_t m_delivered = 0; // producer side only
    std::mutex m_lock;
    std::condition_variable m_workAvailable;
    std::condition_variable m_resultReady;
    std::deque<std::pair<std::size_t, Job>> m_queue;
    std::map<std::size_t, Outcome> m_done;
    bool m_stopping = false;
    std::vector<std::jthread> m_workers; // last: started after, and joined before, the rest is gone
};

/// Prepares items 0…count−1 on up to eight cores and hands each to `consume` in index order as
/// soon as it and all before it are ready; at most 2 × threads + 1 items are held at once. The
/// first exception (of `prepare` in index order, or of `consume`) stops the work and is rethrown.
template <typename Item>
void prepareInOrder(std::size_t count, const std::function<Item(std::size_t)>& prepare,
                    const std::function<void(Item&&)>& consume) {
    if (count == 0)
        return;
    constexpr unsigned kMaxThreads = 8;
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    const auto threads = static_cast<unsigned>(std::min<std::size_t>(cores, count));
    OrderedWorkers<std::size_t, Item> workers(threads, [&] {
        return typename OrderedWorkers<std::size_t, Item>::Work(
            [&](std::size_t& index) { return prepare(index); });
    });
    const auto hand = [&](Item& item) { consume(std::move(item)); };
    for (std::size_t index = 0; index < count; ++index) {
        workers.submit(index);
        workers.deliver(false, hand);
    }
    workers.deliver(true, hand);
}

} // namespace kv
