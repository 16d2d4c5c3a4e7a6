// tServiceNotifier tells the service manager what the service is doing,
// through its notification socket (sd_notify).
//
// It exists only when the manager gave the service a socket (NOTIFY_SOCKET);
// without one the process entry creates none, and nothing of this runs.
// The main thread announces the milestones itself: readiness with the start
// pass's summary, the stop, the failure to open the plugins directory. A
// watching thread of the notifier's own reads the step board about once a
// second and reports a step that has run for a second or more by name, and,
// when the manager asks for a watchdog (WATCHDOG_USEC), keeps it fed at half
// the interval while the service is healthy.
//
// Ownership: owns its step board and its thread; the thread is joined by the
// destructor, which must run before the plugin records the board points into
// are destroyed. Threads: announce() and board() from the main thread; the
// board's own contract covers the rest. Messages of both threads go out one
// at a time, in order. A message that cannot be sent is dropped: the status
// file stays the service's report.
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
    // when its thread cannot be started.
    static std::unique_ptr<tServiceNotifier> createWhenAsked();

    tServiceNotifier();
    ~tServiceNotifier();
    tServiceNotifier(const tServiceNotifier&) = delete;
    tServiceNotifier& operator=(const tServiceNotifier&) = delete;

    // Sends `message` ("READY=1\nSTATUS=..." and the like). `restingStatus`
    // is what STATUS shows again after a slow step it mentioned has ended.
    void announce(const std::string& message, const std::string& restingStatus);

    tStepBoard& board() { return steps; }

  private:
    void watch();
    // Reports the step on the board when its text changed; returns when the
    // text will change next.
    uint64_t reportProgress(uint64_t nowNs);
    // Feeds the watchdog when it is due and the service healthy; returns when
    // it is due next.
    uint64_t feedWatchdog(uint64_t nowNs);
    void send(const std::string& message);

    tStepBoard steps;
    // 0 when the manager asked for no watchdog.
    const uint64_t watchdogIntervalUs;
    uint64_t lastWatchdogNs = 0;

    // Guards everything below and keeps messages in order.
    std::mutex sending;
    std::condition_variable wake;
    bool ending = false;
    std::string restingStatus;
    // The STATUS text the watching thread sent last; "" when the last one
    // came from the main thread.
    std::string lastProgress;
    std::thread watcher;
};

#endif  // ZOKORVO_SERVICENOTIFIER_H
