// tServiceNotifier tells the service manager what the service is doing,
// through its notification socket (sd_notify).
//
// It exists only when the manager gave the service a socket (NOTIFY_SOCKET);
// without one the process entry creates none, and nothing of this runs.
// The main thread announces the milestones itself: readiness with the start
// pass's summary (or the failure to open the plugins directory), each
// reload and its end, and the stop. A watching thread of the notifier's own reads the step board
// about once a second and reports a step that has run for a second or more by name. Until readiness
// it extends the manager's start timeout every second (EXTEND_TIMEOUT_USEC), so that a slow start
// is not cut short; when the manager asks for a watchdog (WATCHDOG_USEC) it feeds it at half the
// interval. Both stop while one plugin step has outlasted the watchdog
// interval, so that the manager ends a service that is stuck.
//
// Ownership: owns its step board and its thread; the thread is joined by the
// destructor, which must run before the plugin records the board points into
// are destroyed. Threads: announce...() and board() from the main thread; the
// board's own contract covers the rest. Messages of both threads go out one
// at a time, in order. A message that cannot be sent is dropped: the status
// file stays the service's report. libsystemd is loaded by the notifier, with
// its symbols kept to itself, and closed again by the destructor.
#ifndef ZOKORVO_SERVICENOTIFIER_H
#define ZOKORVO_SERVICENOTIFIER_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "StepBoard.h"

class tServiceNotifier {
  public:
    // A notifier when NOTIFY_SOCKET is set, else none. Throws std::system_error
    // when libsystemd cannot be loaded or the thread cannot be started.
    static std::unique_ptr<tServiceNotifier> createWhenAsked();

    tServiceNotifier();
    ~tServiceNotifier();
    tServiceNotifier(const tServiceNotifier&) = delete;
    tServiceNotifier& operator=(const tServiceNotifier&) = delete;

    // READY=1 with `status`, which STATUS shows from now on between slow steps.
    void announceReady(const std::string& status);
    // STOPPING=1 with the status "Stopping plugins".
    void announceStopping();
    // RELOADING=1 with MONOTONIC_USEC (the clock's reading now, as the
    // manager expects) and the status "Reloading plugins"; announceReady()
    // ends the reload.
    void announceReloading();

    tStepBoard& board() { return steps; }

  private:
    void watch();
    // One round of the watching thread: progress, watchdog, start timeout.
    // Returns when the next round is due.
    uint64_t tellManager(uint64_t nowNs);
    // Reports the step on the board when its text changed; returns when the
    // text will change next.
    uint64_t reportProgress(const tStepSnapshot& step, uint64_t nowNs);
    // Feeds the watchdog when it is due and the service healthy; returns when
    // it is due next.
    uint64_t feedWatchdog(const tStepSnapshot& step, uint64_t nowNs);
    // Extends the start timeout while the start lasts and is healthy.
    uint64_t extendStart(const tStepSnapshot& step, uint64_t nowNs);
    bool healthy(const tStepSnapshot& step, uint64_t nowNs) const;
    // Sends `message`; `status` is what STATUS shows between slow steps from now on.
    void announce(const std::string& message, const std::string& status);
    void send(const std::string& message);

    void closeNotifyLibrary();

    // libsystemd, loaded for this notifier alone, and its sd_notify.
    void* notifyLibrary = nullptr;
    int (*notify)(int unsetEnvironment, const char* state) = nullptr;

    tStepBoard steps;
    // 0 when the manager asked for no watchdog.
    uint64_t watchdogIntervalUs = 0;
    uint64_t lastWatchdogNs = 0;
    uint64_t lastExtensionNs = 0;

    // Guards everything below and keeps messages in order.
    std::mutex sending;
    std::condition_variable wake;
    bool ending = false;
    bool starting = true;
    std::string restingStatus;
    // The STATUS text the watching thread sent last; "" when the last one
    // came from the main thread.
    std::string lastProgress;
    std::thread watcher;
};

#endif  // ZOKORVO_SERVICENOTIFIER_H
