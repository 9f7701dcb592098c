// Work items prepared on all cores and handed on in their original order.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kv::ArchiveConverter {

/// Prepares items 0…count−1 on all cores and hands each to `consume` in index order, as soon as
/// it and all before it are ready, so finished items do not pile up. The first exception (of
/// `prepare` in index order, or of `consume`) stops the work and is rethrown.
template <typename Item>
void prepareInOrder(std::size_t count, const std::function<Item(std::size_t)>& prepare,
                    const std::function<void(Item&&)>& consume) {
    std::vector<std::optional<Item>> slots(count);
    std::vector<std::exception_ptr> errors(count);
    std::vector<bool> ready(count, false);
    std::mutex lock;
    std::condition_variable readyChanged;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> abandon{false};

    const auto work = [&] {
        for (;;) {
            const std::size_t index = next.fetch_add(1);
            if (index >= count || abandon.load())
                return;
            std::optional<Item> item;
            std::exception_ptr error;
            try {
                item = prepare(index);
            } catch (...) {
                error = std::current_exception();
            }
            {
                const std::scoped_lock guard(lock);
                slots[index] = std::move(item);
                errors[index] = error;
                ready[index] = true;
            }
            readyChanged.notify_all();
        }
    };

    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::jthread> workers;
    for (unsigned i = 0; i < threads && i < count; ++i)
        workers.emplace_back(work);
    try {
        for (std::size_t index = 0; index < count; ++index) {
            std::optional<Item> item;
            {
                std::unique_lock guard(lock);
                readyChanged.wait(guard, [&] { return ready[index]; });
                if (errors[index])
                    std::rethrow_exception(errors[index]);
                item = std::move(slots[index]);
            }
            consume(std::move(*item));
        }
    } catch (...) {
        abandon = true;
        throw; // the workers finish their current item and are joined on the way out
    }
}

} // namespace kv::ArchiveConverter
