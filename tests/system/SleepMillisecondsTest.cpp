// sleepMilliseconds sleeps its whole time even when a signal interrupts it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "system/DeploymentPermission.h"

namespace zotest {
namespace {

std::atomic<int> interruptions{0};

void countInterruption(int) {
    ++interruptions;
}

TEST(SleepMilliseconds, ResumesForTheRemainingTimeAfterASignal) {
    struct sigaction action {};
    action.sa_handler = countInterruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: nanosleep returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t sleeper = pthread_self();
    const auto start = std::chrono::steady_clock::now();
    std::thread interrupter([sleeper] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(sleeper, SIGUSR1);
    });
    zoKorvoRemoteService::sleepMilliseconds(300);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(interruptions.load(), 1);
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
}

TEST(SleepMilliseconds, SplitsMillisecondsIntoSecondsAndNanoseconds) {
    for (uint32_t ms : {0u, 999u, 1001u}) {
        SCOPED_TRACE(ms);
        const auto start = std::chrono::steady_clock::now();
        zoKorvoRemoteService::sleepMilliseconds(ms);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::milliseconds(ms));
        // A wrong split sleeps a thousand times too long (seconds for
        // milliseconds): a bound of seconds tells it, on a loaded machine too.
        EXPECT_LT(elapsed, std::chrono::milliseconds(ms + 5000));
    }
}

}  // namespace
}  // namespace zotest
