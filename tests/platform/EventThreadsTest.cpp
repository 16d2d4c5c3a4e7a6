// The stop event between threads, as the stop thread and the run cycle use
// it: a set() is never lost, whichever thread comes first, and a manual-reset
// event wakes every waiter. Run under ThreadSanitizer (label threads).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "zoqel/quarks/synchronization.h"

namespace {

constexpr auto kHangLimit = std::chrono::seconds(10);

// Waits on the event on a thread of its own; the future is ready once wait()
// has returned.
std::future<void> waitOnThread(zoqel::tEvent& event) {
    return std::async(std::launch::async, [&event] { event.wait(); });
}

bool returns(std::future<void>& waiting) {
    return waiting.wait_for(kHangLimit) == std::future_status::ready;
}

TEST(StopEvent, SetFromAnotherThreadIsNeverLostWhicheverComesFirst) {
    // Set and wait race from the first instant: every interleaving must end.
    for (int round = 0; round < 200; ++round) {
        zoqel::tEvent event{zoqel::ThrowingStatusRecord()};
        std::thread setter([&event] { event.set(); });
        std::future<void> waiting = waitOnThread(event);
        ASSERT_TRUE(returns(waiting)) << "round " << round;
        setter.join();
    }
}

TEST(StopEvent, ManualResetWakesEveryWaiterAndStaysSet) {
    zoqel::tEvent event{zoqel::ThrowingStatusRecord()};
    std::vector<std::future<void>> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(waitOnThread(event));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (std::future<void>& waiting : waiters) {
        EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::seconds(0)));
    }
    // Several stop requests at once, as repeated signals give.
    std::vector<std::thread> setters;
    for (int i = 0; i < 3; ++i) {
        setters.emplace_back([&event] { event.set(); });
    }
    for (std::future<void>& waiting : waiters) {
        EXPECT_TRUE(returns(waiting));
    }
    for (std::thread& setter : setters) {
        setter.join();
    }
    std::future<void> late = waitOnThread(event);
    EXPECT_TRUE(returns(late)) << "a manual-reset event stays set";
}

TEST(StopEvent, AutoResetReleasesOneWaitPerSet) {
    zoqel::tEvent event{zoqel::ThrowingStatusRecord(), true};
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            event.wait();
            ++released;
        });
    }
    for (int expected = 1; expected <= 3; ++expected) {
        event.set();
        const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
        while (released < expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(expected, released.load()) << "one set, one wait";
    }
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
}

}  // namespace
