#include "base/ordered_workers.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kv {
namespace {

TEST(OrderedWorkers, HandsResultsBackInSubmissionOrderWithBoundedWork) {
    std::atomic<int> started{0};
    OrderedWorkers<int, int> workers(3, [&] {
        return OrderedWorkers<int, int>::Work([&](int& job) {
            ++started;
            // Later jobs finish first: order must come from the pool, not from timing.
            std::this_thread::sleep_for(std::chrono::microseconds((50 - job % 50) * 20));
            return job * job;
        });
    });
    std::vector<int> got;
    const auto keep = [&](int& result) { got.push_back(result); };
    for (int job = 0; job < 200; ++job) {
        workers.submit(job);
        workers.deliver(false, keep);
        // Never more than 2 × threads + 1 jobs taken on past the ones handed back.
        EXPECT_LE(static_cast<std::size_t>(started.load()), got.size() + 2 * 3 + 1) << job;
    }
    workers.deliver(true, keep);
    ASSERT_EQ(got.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(got[static_cast<std::size_t>(i)], i * i);
}

TEST(PrepareInOrder, ConsumesInIndexOrderAndReportsTheFirstFailureByIndex) {
    std::vector<std::size_t> order;
    prepareInOrder<std::string>(
        100, [](std::size_t i) { return std::to_string(i); },
        [&](std::string&& item) { order.push_back(std::stoul(item)); });
    ASSERT_EQ(order.size(), 100u);
    for (std::size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(order[i], i);

    // Item 40 fails slowly, item 60 at once: the report names 40, and nothing past 39 is consumed.
    std::size_t consumed = 0;
    try {
        prepareInOrder<std::size_t>(
            100,
            [](std::size_t i) {
                if (i == 40) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    throw std::runtime_error("item 40");
                }
                if (i == 60)
                    throw std::runtime_error("item 60");
                return i;
            },
            [&](std::size_t&&) { ++consumed; });
        ADD_FAILURE() << "no failure reported";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "item 40");
    }
    EXPECT_EQ(consumed, 40u);

    prepareInOrder<int>(
        0, [](std::size_t) -> int { throw std::logic_error("never called"); }, [](int&&) {});
}

} // namespace
} // namespace kv
