#include "service/SignalThread.h"

#include <errno.h>
#include <signal.h>

#include <initializer_list>

namespace {

// The thread that takes the signals, for the handing-on handler; valid
// while `signalThreadReady` is true.
pthread_t signalThreadId;
std::atomic<bool> signalThreadReady{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler reads it");

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// Runs only on a thread that unblocked the signal (a plugin's, as a rule):
// the signal thread, which keeps it blocked, takes it from its own queue.
void handOn(int sig) {
    const int savedErrno = errno;
    if (signalThreadReady.load()) {
        pthread_kill(signalThreadId, sig);
    }
    errno = savedErrno;
}

}  // namespace

tSignalThread::tSignalThread(void (*onStop)(int), void (*onReload)())
    : stop(onStop), reload(onReload) {}

tSignalThread::~tSignalThread() {
    end();
}

int tSignalThread::blockStopSignals() {
    const sigset_t signals = stopSignals();
    return pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0 ? 0 : -1;
}

bool tSignalThread::start() {
    if (running) {
        return true;
    }
    blockStopSignals();  // the thread inherits the block
    if (pthread_create(&thread, nullptr, threadMain, this) != 0) {
        return false;
    }
    running = true;
    signalThreadId = thread;
    signalThreadReady.store(true);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = handOn;
    action.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }
    return true;
}

void tSignalThread::end() {
    if (!running) {
        return;
    }
    signalThreadReady.store(false);
    ending.store(true);
    // A SIGHUP already pending wakes it as well as this one: no wake-up is lost.
    pthread_kill(thread, SIGHUP);
    pthread_join(thread, nullptr);
    running = false;
}

void* tSignalThread::threadMain(void* self) {
    static_cast<tSignalThread*>(self)->serve();
    return nullptr;
}

void tSignalThread::serve() {
    const sigset_t signals = stopSignals();
    for (;;) {
        siginfo_t info{};
        const int sig = sigwaitinfo(&signals, &info);
        if (ending.load()) {
            return;
        }
        if (sig == SIGHUP) {
            reload();
        } else if (sig == SIGINT || sig == SIGTERM) {
            lastStopSignal.store(sig);
            stop(sig);
        }
    }
}
