#include "zoqel/quarks/synchronization.h"

#include <time.h>

#include "zoerr/Status.h"

namespace zoqel {
namespace {

bool initialiseRecursiveMutex(pthread_mutex_t& mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return false;
    }
    bool created = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0;
    // Without priority inheritance the mutex still works; it is only less
    // fair to a high-priority waiter, so a refusal is ignored.
    (void)pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    created = created && pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return created;
}

}  // namespace

uint64_t monotonicNowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t elapsedMs(uint64_t startNs, uint64_t endNs) {
    return (endNs - startNs) / 1000 / 1000;
}

tEvent::tEvent(StatusRecord& status, bool autoResetEvent)
    : mutexValid(false), autoReset(autoResetEvent), signaled(false), initialised(false) {
    const bool conditionCreated = pthread_cond_init(&condition, nullptr) == 0;
    if (!conditionCreated) {
        status.setCode(zoerr::kOsFault, zoerr::kComponentName, __FILE__, __LINE__);
    }
    if (status.code >= 0) {
        if (initialiseRecursiveMutex(mutex)) {
            mutexValid = true;
        } else {
            status.setCode(zoerr::kSoftwareFault, zoerr::kComponentName, __FILE__, __LINE__);
        }
    }
    if (status.code >= 0) {
        initialised = true;
    } else {
        if (mutexValid) {
            pthread_mutex_destroy(&mutex);
            mutexValid = false;
        }
        if (conditionCreated) {
            pthread_cond_destroy(&condition);
        }
    }
}

tEvent::~tEvent() {
    if (!initialised) {
        return;
    }
    if (mutexValid) {
        pthread_mutex_destroy(&mutex);
    }
    pthread_cond_destroy(&condition);
}

void tEvent::set() {
    pthread_mutex_lock(&mutex);
    signaled = true;
    if (autoReset) {
        pthread_cond_signal(&condition);
    } else {
        pthread_cond_broadcast(&condition);
    }
    pthread_mutex_unlock(&mutex);
}

void tEvent::wait() {
    pthread_mutex_lock(&mutex);
    while (!signaled) {
        if (pthread_cond_wait(&condition, &mutex) != 0) {
            break;
        }
    }
    if (autoReset) {
        signaled = false;
    }
    pthread_mutex_unlock(&mutex);
}

bool tEvent::waitUntil(uint64_t deadlineNs) {
    // The monotonic clock, whatever the condition was built with: a change of
    // the wall clock neither stretches nor cuts the wait.
    const timespec deadline{static_cast<time_t>(deadlineNs / 1000000000u),
                            static_cast<long>(deadlineNs % 1000000000u)};
    pthread_mutex_lock(&mutex);
    while (!signaled) {
        if (pthread_cond_clockwait(&condition, &mutex, CLOCK_MONOTONIC, &deadline) != 0) {
            break;
        }
    }
    const bool woken = signaled;
    if (autoReset) {
        signaled = false;
    }
    pthread_mutex_unlock(&mutex);
    return woken;
}

}  // namespace zoqel
