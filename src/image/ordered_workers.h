// A pool of threads that turns jobs into results on all cores while the producer keeps adding
// jobs, and hands the results back in submission order (file encoders write them in sequence).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kv::platform {

template <typename Job, typename Result> class OrderedWorkers {
public:
    using Work = std::function<Result(Job&)>;

    /// Starts `threads` workers; each calls `makeWork` once for its own callable, so per-thread
    /// state (a compressor, scratch buffers) lives in that callable.
    OrderedWorkers(unsigned threads, const std::function<Work()>& makeWork) {
        for (unsigned i = 0; i < threads; ++i) m_workers.emplace_back([this, work = makeWork()]() mutable { run(work); });
    }

    /// Abandons queued jobs and joins every worker.
    ~OrderedWorkers() {
        {
            std::lock_guard guard(m_lock);
            m_stopping = true;
            m_queue.clear();
        }
        m_workAvailable.notify_all();
        for (auto& worker : m_workers) worker.join();
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
    /// submitted job is consumed. A worker's exception is rethrown here.
    void deliver(bool all, const std::function<void(Result&)>& consume) {
        const std::size_t maxInFlight = 2 * m_workers.size() + 1;
        for (;;) {
            Result result;
            {
                std::unique_lock guard(m_lock);
                m_resultReady.wait(guard, [&] {
                    if (m_failure || m_done.count(m_delivered) != 0) return true;
                    const std::size_t inFlight = m_submitted - m_delivered;
                    return all ? inFlight == 0 : inFlight < maxInFlight;
                });
                if (m_failure) std::rethrow_exception(m_failure);
                auto it = m_done.find(m_delivered);
                if (it == m_done.end()) return;
                result = std::move(it->second);
                m_done.erase(it);
            }
            consume(result);
            ++m_delivered;
        }
    }

private:
    void run(Work& work) {
        for (;;) {
            std::pair<std::size_t, Job> job;
            {
                std::unique_lock guard(m_lock);
                m_workAvailable.wait(guard, [&] { return m_stopping || !m_queue.empty(); });
                if (m_queue.empty()) return;
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            try {
                Result result = work(job.second);
                std::lock_guard guard(m_lock);
                m_done.emplace(job.first, std::move(result));
            } catch (...) {
                std::lock_guard guard(m_lock);
                if (!m_failure) m_failure = std::current_exception();
            }
            m_resultReady.notify_all();
        }
    }

    std::size_t m_submitted = 0;  // producer side only
    std::size_t m_delivered = 0;  // producer side only
    std::mutex m_lock;
    std::condition_variable m_workAvailable;
    std::condition_variable m_resultReady;
    std::deque<std::pair<std::size_t, Job>> m_queue;
    std::map<std::size_t, Result> m_done;
    std::exception_ptr m_failure;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;  // last: started after, and joined before, the rest is gone
};

}  // namespace kv::platform
