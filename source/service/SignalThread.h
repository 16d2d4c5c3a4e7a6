// tSignalThread turns SIGINT, SIGTERM and SIGHUP into calls on a thread of
// its own, without a descriptor or a handler that a plugin could break.
//
// blockStopSignals() blocks the three signals in the calling thread; the
// process entry calls it first thing on the main thread, so that every
// thread started after it (the service's and the plugins') inherits the
// block. The thread then waits for them with sigwaitinfo(): a plugin that
// closes, replaces or writes to descriptors it did not open cannot keep a
// signal from arriving. A plugin thread that unblocks the signals again
// meets a handler that only hands the signal on to this thread.
//
// Ownership: owns its thread, which end() asks to finish and joins; the
// destructor does the same. Threads: start() and end() from the thread that
// built the object; the callbacks run on the signal thread, one at a time.
// Failures: start() returns false when the thread cannot be started; nothing
// throws.
#ifndef ZOKORVO_SERVICE_SIGNALTHREAD_H
#define ZOKORVO_SERVICE_SIGNALTHREAD_H

#include <pthread.h>

#include <atomic>

class tSignalThread {
  public:
    // `onStop` receives SIGINT or SIGTERM, `onReload` SIGHUP.
    tSignalThread(void (*onStop)(int), void (*onReload)());
    ~tSignalThread();
    tSignalThread(const tSignalThread&) = delete;
    tSignalThread& operator=(const tSignalThread&) = delete;

    // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread; 0, or -1.
    static int blockStopSignals();
    // Starts the thread and installs the handing-on handlers; false when
    // the thread cannot be started.
    bool start();
    // Asks the thread to end once it has served every signal taken before,
    // and joins it. Signals that come later stay pending (blocked).
    void end();
    // The last SIGINT or SIGTERM taken; 0 when none was.
    int stopSignal() const { return lastStopSignal.load(); }

  private:
    static void* threadMain(void* self);
    void serve();

    void (*const stop)(int);
    void (*const reload)();
    std::atomic<int> lastStopSignal{0};
    std::atomic<bool> ending{false};
    pthread_t thread{};
    bool running = false;
};

#endif  // ZOKORVO_SERVICE_SIGNALTHREAD_H
