#include "ServiceNotifier.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "zoqel/quarks/synchronization.h"

namespace {

constexpr uint64_t kNoDeadline = UINT64_MAX;

// The interval the manager asked for (WatchdogSec=), or 0.
uint64_t askedWatchdogIntervalUs() {
    uint64_t intervalUs = 0;
    return sd_watchdog_enabled(0, &intervalUs) > 0 ? intervalUs : 0;
}

// Starts `thread` with SIGINT and SIGTERM blocked in it, so that they keep
// reaching the threads that expect them, as before the notifier existed.
template <typename Function>
std::thread startWithoutStopSignals(Function function) {
    sigset_t stopSignals;
    sigset_t previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    try {
        std::thread started(function);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return started;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
}

}  // namespace

std::unique_ptr<tServiceNotifier> tServiceNotifier::createWhenAsked() {
    const char* socket = getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0') {
        return nullptr;
    }
    return std::make_unique<tServiceNotifier>();
}

tServiceNotifier::tServiceNotifier()
    : watchdogIntervalUs(askedWatchdogIntervalUs()), restingStatus("Starting plugins") {
    watcher = startWithoutStopSignals([this] { watch(); });
}

tServiceNotifier::~tServiceNotifier() {
    {
        const std::lock_guard<std::mutex> lock(sending);
        ending = true;
    }
    wake.notify_all();
    watcher.join();
}

void tServiceNotifier::announce(const std::string& message, const std::string& resting) {
    const std::lock_guard<std::mutex> lock(sending);
    restingStatus = resting;
    lastProgress.clear();
    send(message);
}

void tServiceNotifier::watch() {
    std::unique_lock<std::mutex> lock(sending);
    while (!ending) {
        const uint64_t nowNs = zoqel::monotonicNowNs();
        const uint64_t nextNs = std::min(reportProgress(nowNs), feedWatchdog(nowNs));
        wake.wait_for(lock, std::chrono::nanoseconds(nextNs > nowNs ? nextNs - nowNs : 0));
    }
}

uint64_t tServiceNotifier::reportProgress(uint64_t nowNs) {
    const tStepSnapshot step = steps.snapshot();
    const std::string progress = stepProgressText(step, nowNs);
    if (!progress.empty() && progress != lastProgress) {
        send("STATUS=" + progress);
    } else if (progress.empty() && !lastProgress.empty()) {
        // The slow step is over: the mention of it would mislead.
        send("STATUS=" + restingStatus);
    }
    lastProgress = progress;
    return nextProgressChangeNs(step, nowNs);
}

uint64_t tServiceNotifier::feedWatchdog(uint64_t nowNs) {
    if (watchdogIntervalUs == 0) {
        return kNoDeadline;
    }
    const uint64_t halfIntervalNs = watchdogIntervalUs * 1000 / 2;
    if (lastWatchdogNs == 0 || nowNs - lastWatchdogNs >= halfIntervalNs) {
        if (!serviceHealthy(steps.snapshot(), nowNs, watchdogIntervalUs)) {
            // Left hungry on purpose: the manager's watchdog ends the service.
            return nowNs + halfIntervalNs;
        }
        send("WATCHDOG=1");
        lastWatchdogNs = nowNs;
    }
    return lastWatchdogNs + halfIntervalNs;
}

void tServiceNotifier::send(const std::string& message) {
    (void)sd_notify(0, message.c_str());
}
