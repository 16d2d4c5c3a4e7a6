// The health check: the service's JSON status judged in the convention of
// monitoring plugins (Nagios, Icinga, Sensu, ...): one line of output, exit
// status 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
//
//   OK        every plugin started (a refusal by a capability that is not
//             allowed, -52002, is by design)
//   WARNING   a plugin refused for another reason, or started with a
//             warning code; the service still starting
//   CRITICAL  a plugin failed; the service is not running while the file
//             says it is, or it has stopped; no status file
//   UNKNOWN   the file cannot be read, is no JSON status, or has another schema
// The line: "ZOKORVO OK - 5 started, 0 refused, 0 failed | started=5
// refused=0 failed=0", the reason of a worse state before the counts.
// Reads the file only; nothing throws but std::bad_alloc.
#ifndef ZOKORVO_CHECK_HEALTH_H
#define ZOKORVO_CHECK_HEALTH_H

#include <sys/types.h>

#include <functional>
#include <string>

namespace nPluginCheck {

struct tHealth {
    int exitStatus = 3;
    std::string line;  // ends in "\n"
};

// True when the process `pid` is a running zoKorvoRemoteService.
using tServiceAlive = std::function<bool(pid_t pid)>;
bool serviceProcessAlive(pid_t pid);

// Judges the JSON status of `statusDirectory`.
tHealth checkHealth(const std::string& statusDirectory,
                    const tServiceAlive& alive = serviceProcessAlive);

}  // namespace nPluginCheck

#endif  // ZOKORVO_CHECK_HEALTH_H
