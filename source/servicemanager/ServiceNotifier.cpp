#include "servicemanager/ServiceNotifier.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "system/ThreadWithoutStopSignals.h"
#include "zoqel/quarks/synchronization.h"

namespace {

constexpr uint64_t kNoDeadline = UINT64_MAX;
constexpr uint64_t kNsPerSecond = 1000000000;
// The start timeout is extended this far every second: ten chances before
// it runs out if the watching thread itself stalls.
constexpr uint64_t kStartExtensionUs = 10000000;
constexpr const char kStoppingStatus[] = "Stopping plugins";
constexpr const char kReloadingStatus[] = "Reloading plugins";

// Copies `text` into `status`, cut to fit: a status is one short line.
template <size_t kSize>
void setStatus(char (&status)[kSize], const char* text) {
    snprintf(status, kSize, "%s", text);
}

}  // namespace

std::unique_ptr<tServiceNotifier> tServiceNotifier::createWhenAsked(
    const tServiceManagerEnvironment& environment, uint64_t startStepLimitUs) {
    if (environment.notifySocket.empty()) {
        return nullptr;
    }
    return std::make_unique<tServiceNotifier>(environment, startStepLimitUs);
}

tServiceNotifier::tServiceNotifier(const tServiceManagerEnvironment& environment,
                                   uint64_t startStepLimitUs)
    : socket(environment.notifySocket),
      watchdogIntervalUs(environment.watchdogUs),
      extendWhileStepUnderUs(environment.watchdogUs != 0
                                 ? std::min(startStepLimitUs, environment.watchdogUs)
                                 : startStepLimitUs) {
    watcher = startWithoutStopSignals([this] { watch(); });
}

tServiceNotifier::~tServiceNotifier() {
    {
        const tMutexLock lock(posting);
        ending = true;
    }
    wake.notify_all();
    watcher.join();
}

void tServiceNotifier::announceReady(const char* status) noexcept {
    {
        const tMutexLock lock(posting);
        if (postedState.stop) {
            return;
        }
        ++postedState.readyCount;
        setStatus(postedState.status, status);
        newsPosted = true;
    }
    wake.notify_all();
}

void tServiceNotifier::announceStopping() noexcept {
    {
        const tMutexLock lock(posting);
        postedState.stop = true;
        setStatus(postedState.status, kStoppingStatus);
        newsPosted = true;
    }
    // Sent here rather than by the watching thread, so that it is out before
    // the main thread even learns of the stop.
    const tMutexLock lock(sending);
    (void)sendDue(zoqel::monotonicNowNs());
}

void tServiceNotifier::announceReloading() noexcept {
    {
        const tMutexLock lock(posting);
        if (postedState.stop) {
            return;
        }
        ++postedState.reloadCount;
        postedState.reloadUs = zoqel::monotonicNowNs() / 1000;
        setStatus(postedState.status, kReloadingStatus);
        newsPosted = true;
    }
    wake.notify_all();
}

tServiceNotifier::tPosted tServiceNotifier::posted() {
    const tMutexLock lock(posting);
    return postedState;
}

void tServiceNotifier::watch() {
    for (;;) {
        bool lastRound = false;
        {
            const tMutexLock lock(posting);
            // What was posted before the end goes out in this last round.
            lastRound = ending;
            newsPosted = false;
        }
        const uint64_t nowNs = zoqel::monotonicNowNs();
        uint64_t nextNs = 0;
        {
            const tMutexLock lock(sending);
            nextNs = sendDue(nowNs);
        }
        if (lastRound) {
            return;
        }
        tMutexLock lock(posting);
        const auto due = std::chrono::steady_clock::now() +
                         std::chrono::nanoseconds(nextNs > nowNs ? nextNs - nowNs : 0);
        while (!ending && !newsPosted) {
            if (wake.wait_until(lock, due) == std::cv_status::timeout) {
                break;
            }
        }
    }
}

uint64_t tServiceNotifier::sendDue(uint64_t nowNs) noexcept {
    const tPosted news = posted();
    // The first round comes as the notifier is made, before the plugins
    // directory is read: the manager shows what the service does from then on.
    if (!startingSent) {
        startingSent = news.stop || news.readyCount > 0 || sendStatus(news.status);
    }
    sendMilestones(news);
    try {
        const tStepSnapshot step = steps.snapshot();
        return std::min({reportProgress(step, news, nowNs), feedWatchdog(step, nowNs),
                         extendStart(step, news, nowNs)});
    } catch (const std::exception&) {
        // No memory for a message: it is dropped, and the next round tries
        // again, as a message the manager did not take would be.
        return nowNs + kNsPerSecond;
    }
}

void tServiceNotifier::sendMilestones(const tPosted& news) {
    // At most three are due: the first readiness, a reload, and its end.
    for (int round = 0; round < 3 && sendNextMilestone(news); ++round) {
        // The milestone's status replaced any step's: a step still slow is
        // named anew.
        lastProgress.clear();
    }
}

bool tServiceNotifier::sendNextMilestone(const tPosted& news) {
    // Built in place: a milestone goes out even when memory has run out.
    char message[sizeof "RELOADING=1\nMONOTONIC_USEC=18446744073709551615\nSTATUS=" +
                 sizeof news.status];
    if (news.stop) {
        if (stoppingSent) {
            return false;
        }
        snprintf(message, sizeof message, "STOPPING=1\nSTATUS=%s", news.status);
        stoppingSent = send(message);
        return stoppingSent;
    }
    const bool firstReadyDue = readySentCount == 0 && news.readyCount > 0;
    if (!firstReadyDue && reloadSentCount < news.reloadCount) {
        snprintf(message, sizeof message, "RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=%s",
                 static_cast<unsigned long long>(news.reloadUs), news.status);
        if (!send(message)) {
            return false;
        }
        // Reloads the manager did not hear of in between were one to it.
        reloadSentCount = news.reloadCount;
        readySentCount = std::max(readySentCount, news.reloadCount);
        return true;
    }
    if (readySentCount < news.readyCount && (firstReadyDue || news.readyCount > news.reloadCount)) {
        snprintf(message, sizeof message, "READY=1\nSTATUS=%s", news.status);
        if (!send(message)) {
            return false;
        }
        readySentCount = firstReadyDue ? 1 : news.readyCount;
        return true;
    }
    return false;
}

uint64_t tServiceNotifier::reportProgress(const tStepSnapshot& step, const tPosted& news,
                                          uint64_t nowNs) {
    const std::string progress = stepProgressText(step, nowNs);
    if (!progress.empty() && progress != lastProgress) {
        if (sendStatus(progress)) {
            lastProgress = progress;
        }
    } else if (progress.empty() && !lastProgress.empty()) {
        // The slow step is over: the mention of it would mislead.
        if (sendStatus(news.status)) {
            lastProgress.clear();
        }
    }
    return nextProgressChangeNs(step, nowNs);
}

uint64_t tServiceNotifier::feedWatchdog(const tStepSnapshot& step, uint64_t nowNs) {
    if (watchdogIntervalUs == 0) {
        return kNoDeadline;
    }
    const uint64_t halfIntervalNs = watchdogIntervalUs * 1000 / 2;
    if (lastWatchdogNs != 0 && nowNs - lastWatchdogNs < halfIntervalNs) {
        return lastWatchdogNs + halfIntervalNs;
    }
    if (!serviceHealthy(step, nowNs, watchdogIntervalUs)) {
        // Left hungry on purpose: the service no longer makes progress.
        return nowNs + halfIntervalNs;
    }
    if (!send("WATCHDOG=1")) {
        return nowNs + std::min(halfIntervalNs, kNsPerSecond);
    }
    lastWatchdogNs = nowNs;
    return lastWatchdogNs + halfIntervalNs;
}

uint64_t tServiceNotifier::extendStart(const tStepSnapshot& step, const tPosted& news,
                                       uint64_t nowNs) {
    // An extension sent after the stop began would extend the stop instead.
    if (readySentCount > 0 || news.stop) {
        return kNoDeadline;
    }
    if (lastExtensionNs != 0 && nowNs - lastExtensionNs < kNsPerSecond) {
        return lastExtensionNs + kNsPerSecond;
    }
    if (serviceHealthy(step, nowNs, extendWhileStepUnderUs) &&
        send(("EXTEND_TIMEOUT_USEC=" + std::to_string(kStartExtensionUs)).c_str())) {
        lastExtensionNs = nowNs;
        return lastExtensionNs + kNsPerSecond;
    }
    return nowNs + kNsPerSecond;
}

bool tServiceNotifier::sendStatus(const std::string& status) {
    const std::string message = "STATUS=" + status;
    // Longer than the manager reads, it would be dropped whole; the step's
    // text shortens a long name, so this is only a guard.
    return message.size() <= kMaxNotificationBytes && send(message.c_str());
}

bool tServiceNotifier::send(const char* message) noexcept {
    return socket.send(message, strlen(message));
}
