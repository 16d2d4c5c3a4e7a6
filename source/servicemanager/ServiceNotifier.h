// tServiceNotifier tells the service manager what the service is doing,
// through its notification socket (the manager's datagram protocol of
// "KEY=value" lines: READY=1, STOPPING=1, STATUS=, WATCHDOG=1,
// EXTEND_TIMEOUT_USEC=).
//
// It exists only when the manager gave the service a socket; without one the
// process entry creates none, and nothing of this runs. The main thread posts
// readiness with the start pass's summary (or the failure to open the plugins
// directory), and each reload and its end; the thread that requests the stop
// announces it at once, whatever
// step the main thread is in. A watching thread of the notifier's own sends
// what was posted, reports a step that has run for a second or more by name,
// and, until readiness, extends the manager's start timeout every second
// (EXTEND_TIMEOUT_USEC) while no plugin step has run longer than the start
// step limit, so that a slow start is not cut short and a hung one is. When
// the manager asks for a watchdog it feeds it at half the interval while no
// plugin step has outlasted the interval. From the stop on, nothing extends
// any timeout: the stop stays bounded by the manager's stop timeout.
//
// Nothing outside may hold the service: every datagram is sent without
// waiting, and one that cannot go out at once (the manager's queue is full) is
// dropped; the next round sends the current state again, and READY=1 and
// STOPPING=1 are repeated until they went out. The main thread never sends
// and never waits for a thread that does. A STATUS= text never makes a
// datagram longer than the manager reads (kMaxNotificationBytes).
//
// Ownership: owns its socket, its step board and its thread; the thread is
// joined by the destructor, which must run before the plugin records the
// board points into are destroyed. Threads: announceReady() and board() from
// the main thread, announceStopping() from any thread; the board's own
// contract covers the rest. Nothing here throws but the creation.
#ifndef ZOKORVO_SERVICENOTIFIER_H
#define ZOKORVO_SERVICENOTIFIER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "system/DatagramSocket.h"
#include "system/Mutex.h"
#include "servicemanager/ServiceManagerEnvironment.h"
#include "servicemanager/StepBoard.h"

// The most the service manager reads of one notification.
constexpr size_t kMaxNotificationBytes = 4096;

class tServiceNotifier {
  public:
    // A notifier when `environment` names a notification socket, else none.
    // Throws std::system_error when the watching thread cannot be started.
    static std::unique_ptr<tServiceNotifier> createWhenAsked(
        const tServiceManagerEnvironment& environment, uint64_t startStepLimitUs);

    tServiceNotifier(const tServiceManagerEnvironment& environment, uint64_t startStepLimitUs);
    ~tServiceNotifier();
    tServiceNotifier(const tServiceNotifier&) = delete;
    tServiceNotifier& operator=(const tServiceNotifier&) = delete;

    // READY=1 with `status` (cut to a short line), which STATUS shows from
    // now on between slow steps. Only posts it for the watching thread; once
    // the stop was announced the service is no longer becoming ready, and
    // nothing is sent.
    void announceReady(const char* status) noexcept;
    // STOPPING=1 with the status "Stopping plugins", sent by the calling
    // thread at once; from now on the start timeout is no longer extended.
    void announceStopping() noexcept;
    // RELOADING=1 with MONOTONIC_USEC (the clock's reading now, as the
    // manager expects) and the status "Reloading plugins"; the next
    // announceReady() ends the reload. Nothing once the stop was announced.
    void announceReloading() noexcept;

    tStepBoard& board() { return steps; }

  private:
    // What the main thread and the stopping thread posted.
    // Each announceReady() and announceReloading() counts: the manager hears
    // of them in order, the first readiness before any reload, and of each
    // reload before the readiness that ends it.
    struct tPosted {
        unsigned readyCount = 0;
        unsigned reloadCount = 0;
        uint64_t reloadUs = 0;
        bool stop = false;
        char status[128] = "Starting plugins";
    };

    void watch();
    tPosted posted() ZO_EXCLUDES(posting);
    // Sends what is due now; the caller holds `sending`. Returns when the
    // next round is due.
    uint64_t sendDue(uint64_t nowNs) noexcept ZO_REQUIRES(sending);
    void sendMilestones(const tPosted& news) ZO_REQUIRES(sending);
    // The next milestone of `news` not yet sent, sent; false when none was
    // due or it did not go out.
    bool sendNextMilestone(const tPosted& news) ZO_REQUIRES(sending);
    // Reports the step on the board when its text changed; returns when the
    // text will change next.
    uint64_t reportProgress(const tStepSnapshot& step, const tPosted& news, uint64_t nowNs) ZO_REQUIRES(sending);
    // Feeds the watchdog when it is due and no step has outlasted it;
    // returns when it is due next.
    uint64_t feedWatchdog(const tStepSnapshot& step, uint64_t nowNs) ZO_REQUIRES(sending);
    // Extends the start timeout while the start lasts and no step has run
    // past the start step limit.
    uint64_t extendStart(const tStepSnapshot& step, const tPosted& news, uint64_t nowNs) ZO_REQUIRES(sending);
    bool sendStatus(const std::string& status);
    bool send(const char* message) noexcept;

    tDatagramSocket socket;
    tStepBoard steps;
    // 0 when the manager asked for no watchdog.
    const uint64_t watchdogIntervalUs;
    // How long one plugin step may run before the start is no longer
    // extended: the start step limit, or the watchdog interval when shorter.
    const uint64_t extendWhileStepUnderUs;

    // Guards what is posted; never held across a send.
    tMutex posting;
    std::condition_variable_any wake;
    tPosted postedState ZO_GUARDED_BY(posting);
    bool newsPosted ZO_GUARDED_BY(posting) = false;
    bool ending ZO_GUARDED_BY(posting) = false;

    // Held while one of the sending threads (the watching thread, the
    // stopping thread) sends; the main thread never takes it. Guards the rest.
    tMutex sending;
    unsigned readySentCount ZO_GUARDED_BY(sending) = 0;
    unsigned reloadSentCount ZO_GUARDED_BY(sending) = 0;
    bool stoppingSent ZO_GUARDED_BY(sending) = false;
    // "Starting plugins" went out, or a milestone made it moot.
    bool startingSent ZO_GUARDED_BY(sending) = false;
    uint64_t lastWatchdogNs ZO_GUARDED_BY(sending) = 0;
    uint64_t lastExtensionNs ZO_GUARDED_BY(sending) = 0;
    // The STATUS text the watching thread sent last; "" when the last one was
    // the resting status.
    std::string lastProgress ZO_GUARDED_BY(sending);

    std::thread watcher;
};

#endif  // ZOKORVO_SERVICENOTIFIER_H
