// tMutex and tMutexLock: a std::mutex and its scoped lock whose rules clang
// checks at compile time (-Wthread-safety, on in every clang build): a member
// marked ZO_GUARDED_BY(m) may be touched only while m is held, a function
// marked ZO_REQUIRES(m) only called with it held. g++ ignores the marks.
// A tMutexLock may be handed to std::condition_variable_any, which unlocks
// and locks it again around a wait; the analysis counts it held throughout,
// as the waiting code sees it.
// Neither type throws but what std::mutex::lock throws (std::system_error).
#ifndef ZOKORVO_MUTEX_H
#define ZOKORVO_MUTEX_H

#include <mutex>

#if defined(__clang__)
#define ZO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZO_THREAD_ANNOTATION(x)
#endif

#define ZO_CAPABILITY(name) ZO_THREAD_ANNOTATION(capability(name))
#define ZO_SCOPED_CAPABILITY ZO_THREAD_ANNOTATION(scoped_lockable)
#define ZO_GUARDED_BY(mutex) ZO_THREAD_ANNOTATION(guarded_by(mutex))
#define ZO_REQUIRES(...) ZO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZO_EXCLUDES(...) ZO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZO_ACQUIRE(...) ZO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZO_RELEASE(...) ZO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

class ZO_CAPABILITY("mutex") tMutex {
  public:
    void lock() ZO_ACQUIRE() { mutex.lock(); }
    void unlock() ZO_RELEASE() { mutex.unlock(); }

  private:
    std::mutex mutex;
};

class ZO_SCOPED_CAPABILITY tMutexLock {
  public:
    explicit tMutexLock(tMutex& held) ZO_ACQUIRE(held) : mutex(held) { mutex.lock(); }
    ~tMutexLock() ZO_RELEASE() { mutex.unlock(); }
    tMutexLock(const tMutexLock&) = delete;
    tMutexLock& operator=(const tMutexLock&) = delete;

    // For std::condition_variable_any only: it releases the mutex for the
    // wait and takes it again before it returns.
    void lock() ZO_THREAD_ANNOTATION(no_thread_safety_analysis) { mutex.lock(); }
    void unlock() ZO_THREAD_ANNOTATION(no_thread_safety_analysis) { mutex.unlock(); }

  private:
    tMutex& mutex;
};

#endif  // ZOKORVO_MUTEX_H
