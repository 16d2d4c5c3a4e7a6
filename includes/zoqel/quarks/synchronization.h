// tEvent, the platform layer's event, and the monotonic clock.
//
// A manual-reset event (autoReset false) stays signaled once set, so a set()
// that happens before anyone waits is never lost: the next wait() returns at
// once. An auto-reset event wakes one waiter and a completed wait() clears it.
//
// set() and wait() may be called from any thread; the event's recursive,
// priority-inheritance mutex guards only `signaled`. Construction reports
// failure through the platform status record it is given (-52008 for the
// condition variable, -52003 for the mutex or its attributes); the record's
// owner raises it. A failing pthread_cond_wait ends the wait as if the event
// had been set. The event must outlive every thread that uses it.
#ifndef ZOQEL_QUARKS_SYNCHRONIZATION_H
#define ZOQEL_QUARKS_SYNCHRONIZATION_H

#include <pthread.h>

#include <cstdint>

#include "zoqel/StatusRecord.h"

namespace zoqel {

// Nanoseconds of CLOCK_MONOTONIC.
uint64_t monotonicNowNs();

// Whole milliseconds between two monotonicNowNs() readings; anything under
// 1 ms is 0.
uint64_t elapsedMs(uint64_t startNs, uint64_t endNs);

class tEvent {
  public:
    tEvent(StatusRecord& status, bool autoResetEvent = false);
    // For a record made for this construction alone, such as a temporary
    // ThrowingStatusRecord that raises right after it.
    explicit tEvent(StatusRecord&& status, bool autoResetEvent = false)
        : tEvent(status, autoResetEvent) {}
    ~tEvent();
    tEvent(const tEvent&) = delete;
    tEvent& operator=(const tEvent&) = delete;

    void set();
    void wait();
    // Waits as wait() does, but no later than `deadlineNs` of
    // monotonicNowNs(); false when the deadline came first.
    bool waitUntil(uint64_t deadlineNs);

  private:
    pthread_cond_t condition;
    pthread_mutex_t mutex;
    bool mutexValid;
    bool autoReset;
    bool signaled;
    bool initialised;
};

}  // namespace zoqel

#endif  // ZOQEL_QUARKS_SYNCHRONIZATION_H
