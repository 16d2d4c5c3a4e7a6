#include "ServiceNotifier.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "zoqel/quarks/synchronization.h"

namespace {

constexpr uint64_t kNoDeadline = UINT64_MAX;
constexpr uint64_t kNsPerSecond = 1000000000;
// The start timeout is extended this far every second: ten chances before
// it runs out if the watching thread itself stalls.
constexpr uint64_t kStartExtensionUs = 10000000;

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

void tServiceNotifier::announceReady(const std::string& status) {
    announce("READY=1\nSTATUS=" + status, status);
}

void tServiceNotifier::announceStopping() {
    announce("STOPPING=1\nSTATUS=Stopping plugins", "Stopping plugins");
}

void tServiceNotifier::announce(const std::string& message, const std::string& status) {
    const std::lock_guard<std::mutex> lock(sending);
    // Whatever comes, the start is over: readiness, or the stop.
    starting = false;
    restingStatus = status;
    lastProgress.clear();
    send(message);
}

void tServiceNotifier::watch() {
    std::unique_lock<std::mutex> lock(sending);
    while (!ending) {
        const uint64_t nowNs = zoqel::monotonicNowNs();
        const tStepSnapshot step = steps.snapshot();
        const uint64_t nextNs = std::min(
            {reportProgress(step, nowNs), feedWatchdog(step, nowNs), extendStart(step, nowNs)});
        wake.wait_for(lock, std::chrono::nanoseconds(nextNs > nowNs ? nextNs - nowNs : 0));
    }
}

uint64_t tServiceNotifier::reportProgress(const tStepSnapshot& step, uint64_t nowNs) {
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

uint64_t tServiceNotifier::feedWatchdog(const tStepSnapshot& step, uint64_t nowNs) {
    if (watchdogIntervalUs == 0) {
        return kNoDeadline;
    }
    const uint64_t halfIntervalNs = watchdogIntervalUs * 1000 / 2;
    if (lastWatchdogNs == 0 || nowNs - lastWatchdogNs >= halfIntervalNs) {
        if (!healthy(step, nowNs)) {
            // Left hungry on purpose: the manager's watchdog ends the service.
            return nowNs + halfIntervalNs;
        }
        send("WATCHDOG=1");
        lastWatchdogNs = nowNs;
    }
    return lastWatchdogNs + halfIntervalNs;
}

uint64_t tServiceNotifier::extendStart(const tStepSnapshot& step, uint64_t nowNs) {
    if (!starting) {
        return kNoDeadline;
    }
    if (lastExtensionNs == 0 || nowNs - lastExtensionNs >= kNsPerSecond) {
        if (!healthy(step, nowNs)) {
            return nowNs + kNsPerSecond;
        }
        send("EXTEND_TIMEOUT_USEC=" + std::to_string(kStartExtensionUs));
        lastExtensionNs = nowNs;
    }
    return lastExtensionNs + kNsPerSecond;
}

// Without a watchdog nothing tells a slow step from a stuck one: the service
// counts as healthy, and the administrator sees the step in the status.
bool tServiceNotifier::healthy(const tStepSnapshot& step, uint64_t nowNs) const {
    return watchdogIntervalUs == 0 || serviceHealthy(step, nowNs, watchdogIntervalUs);
}

void tServiceNotifier::send(const std::string& message) {
    (void)sd_notify(0, message.c_str());
}
