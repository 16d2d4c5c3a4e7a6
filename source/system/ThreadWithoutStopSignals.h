// Starts a thread of the service's own that never takes SIGINT, SIGTERM or
// SIGHUP: those keep reaching the threads that expect them (the process
// entry's handler and its stop thread).
//
// Thread-safe: the calling thread's mask is changed only while the thread is
// created, and restored before returning. Throws what std::thread throws.
#ifndef ZOKORVO_THREADWITHOUTSTOPSIGNALS_H
#define ZOKORVO_THREADWITHOUTSTOPSIGNALS_H

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

template <typename Function>
std::thread startWithoutStopSignals(Function&& function) {
    sigset_t stopSignals;
    sigset_t previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    try {
        std::thread started(std::forward<Function>(function));
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return started;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
}

#endif  // ZOKORVO_THREADWITHOUTSTOPSIGNALS_H
