#include "ServiceNotifier.h"

#include <dlfcn.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "zoqel/quarks/synchronization.h"

namespace {

constexpr uint64_t kNoDeadline = UINT64_MAX;
constexpr uint64_t kNsPerSecond = 1000000000;
// The start timeout is extended this far every second: ten chances before
// it runs out if the watching thread itself stalls.
constexpr uint64_t kStartExtensionUs = 10000000;

// libsystemd is loaded only when the manager asks for notifications, and
// kept out of the global scope: a service started without them loads no
// library more than before, and plugins' symbols never resolve into it.
constexpr const char kNotifyLibrary[] = "libsystemd.so.0";

template <typename Function>
Function bindNotifyFunction(void* library, const char* name) {
    void* address = library != nullptr ? dlsym(library, name) : nullptr;
    if (address == nullptr) {
        throw std::system_error(std::make_error_code(std::errc::function_not_supported),
                                std::string(kNotifyLibrary) + " lacks " + name);
    }
    return reinterpret_cast<Function>(address);
}

// Starts `thread` with SIGINT, SIGTERM and SIGHUP blocked in it, so that they
// keep reaching the threads that expect them, as before the notifier existed.
template <typename Function>
std::thread startWithoutStopSignals(Function function) {
    sigset_t stopSignals;
    sigset_t previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
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

tServiceNotifier::tServiceNotifier() : restingStatus("Starting plugins") {
    notifyLibrary = dlopen(kNotifyLibrary, RTLD_NOW | RTLD_LOCAL);
    try {
        notify = bindNotifyFunction<decltype(&sd_notify)>(notifyLibrary, "sd_notify");
        const auto watchdogEnabled = bindNotifyFunction<decltype(&sd_watchdog_enabled)>(
            notifyLibrary, "sd_watchdog_enabled");
        uint64_t intervalUs = 0;
        watchdogIntervalUs = watchdogEnabled(0, &intervalUs) > 0 ? intervalUs : 0;
        watcher = startWithoutStopSignals([this] { watch(); });
    } catch (...) {
        closeNotifyLibrary();
        throw;
    }
}

void tServiceNotifier::closeNotifyLibrary() {
    if (notifyLibrary != nullptr) {
        dlclose(notifyLibrary);
        notifyLibrary = nullptr;
    }
}

tServiceNotifier::~tServiceNotifier() {
    {
        const std::lock_guard<std::mutex> lock(sending);
        ending = true;
    }
    wake.notify_all();
    watcher.join();
    closeNotifyLibrary();
}

void tServiceNotifier::announceReady(const std::string& status) {
    announce("READY=1\nSTATUS=" + status, status);
}

void tServiceNotifier::announceStopping() {
    announce("STOPPING=1\nSTATUS=Stopping plugins", "Stopping plugins");
}

void tServiceNotifier::announceReloading() {
    const uint64_t nowUs = zoqel::monotonicNowNs() / 1000;
    announce("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(nowUs) + "\nSTATUS=Reloading plugins",
             "Reloading plugins");
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
        const uint64_t nextNs = tellManager(nowNs);
        wake.wait_for(lock, std::chrono::nanoseconds(nextNs > nowNs ? nextNs - nowNs : 0));
    }
}

uint64_t tServiceNotifier::tellManager(uint64_t nowNs) {
    try {
        const tStepSnapshot step = steps.snapshot();
        return std::min(
            {reportProgress(step, nowNs), feedWatchdog(step, nowNs), extendStart(step, nowNs)});
    } catch (const std::exception&) {
        // No memory for a message: it is dropped, and the next round tries
        // again, as a message the manager did not take would be.
        return nowNs + kNsPerSecond;
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
    (void)notify(0, message.c_str());
}
