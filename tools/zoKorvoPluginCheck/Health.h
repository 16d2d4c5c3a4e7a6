// The health check: the service's JSON status judged in the convention of
// monitoring plugins (Nagios, Icinga, Sensu, ...): one line of output, exit
// status 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
//
//   OK        every plugin started (a refusal by a capability that is not
//             allowed, -52002, is by design)
//   WARNING   a plugin refused for another reason, or started with a
//             warning code; the service starting, or stopping; a
//             description file rejected; the last reload not done; the
//             metrics file not written; any other line of the messages
//   CRITICAL  a plugin failed; an expected plugin not started; the stop
//             running longer than the start step limit; the service not
//             running while the file says it is, or stopped; no status file
//   UNKNOWN   the file cannot be read, is no JSON status, or has another schema
// The line: "ZOKORVO OK - 5 started, 0 refused, 0 failed | started=5
// refused=0 failed=0"; every problem comes before the counts, the most
// severe first, separated by "; ".
// Reads the file only; nothing throws but std::bad_alloc.
#ifndef ZOKORVO_CHECK_HEALTH_H
#define ZOKORVO_CHECK_HEALTH_H

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace nPluginCheck {

struct tHealth {
    int exitStatus = 3;
    std::string line;  // ends in "\n"
};

// True when the process `pid` is a running zoKorvoRemoteService.
using tServiceAlive = std::function<bool(pid_t pid)>;
bool serviceProcessAlive(pid_t pid);

struct tHealthOptions {
    // Plugins (their Name) that must be started; CRITICAL for each that is not.
    std::vector<std::string> expected;
    // A stop running longer than this, in seconds, is CRITICAL (the
    // service's default start step limit).
    long stopLimitS = 120;
    // The wall clock, seconds since the epoch; a seam for the tests.
    std::function<time_t()> now = [] { return time(nullptr); };
};

// Judges the JSON status of `statusDirectory`.
tHealth checkHealth(const std::string& statusDirectory,
                    const tServiceAlive& alive = serviceProcessAlive,
                    const tHealthOptions& options = tHealthOptions());

}  // namespace nPluginCheck

#endif  // ZOKORVO_CHECK_HEALTH_H
