// Test support: lowers this process's RLIMIT_FSIZE with SIGXFSZ ignored, so
// that a write beyond the limit fails with EFBIG instead of ending the
// process, as a full disk would fail it. Children started meanwhile inherit
// both across exec. The destructor restores this process's own limit and
// disposition. Not thread-safe: the limit and the disposition are the
// process's.
#ifndef ZO_TESTS_FILESIZELIMIT_H
#define ZO_TESTS_FILESIZELIMIT_H

#include <signal.h>
#include <sys/resource.h>

namespace zotest {

class tFileSizeLimit {
  public:
    // Lowers the limit to `bytes` when `limitNow`; otherwise does nothing.
    explicit tFileSizeLimit(rlim_t bytes, bool limitNow = true) : active(limitNow) {
        if (active) {
            getrlimit(RLIMIT_FSIZE, &saved);
            rlimit lowered = saved;
            lowered.rlim_cur = bytes;
            setrlimit(RLIMIT_FSIZE, &lowered);
            savedAction = signal(SIGXFSZ, SIG_IGN);
        }
    }
    ~tFileSizeLimit() {
        if (active) {
            setrlimit(RLIMIT_FSIZE, &saved);
            signal(SIGXFSZ, savedAction);
        }
    }
    tFileSizeLimit(const tFileSizeLimit&) = delete;
    tFileSizeLimit& operator=(const tFileSizeLimit&) = delete;

  private:
    bool active;
    rlimit saved{};
    sighandler_t savedAction = SIG_DFL;
};

}  // namespace zotest

#endif  // ZO_TESTS_FILESIZELIMIT_H
