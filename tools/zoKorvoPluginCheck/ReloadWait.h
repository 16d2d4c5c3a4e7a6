// The reload that waits: asks the running service for a reload (SIGHUP) and
// waits, bounded, until its JSON status shows the result of a reload that
// began after the request, so that `systemctl reload` (whose ExecReload=
// runs this) returns only when the reload is done, and fails when it could
// not be done. A reload asked for while the service starts runs right after
// its start pass; this waits for that one too.
//
// Exit status: 0 the reload was done (plugins it could not start are in its
// counts, and --health judges them), 1 it could not be done or the service
// ended first, 2 no answer within the time given, or the signal could not
// be sent. One line of output says which. Waits on the status directory's
// changes (inotify), not by polling; nothing throws but std::bad_alloc.
#ifndef ZOKORVO_CHECK_RELOADWAIT_H
#define ZOKORVO_CHECK_RELOADWAIT_H

#include <sys/types.h>

#include <string>

#include "Health.h"

namespace nPluginCheck {

// One line and an exit status, as the health check answers.
using tReloadResult = tHealth;

// Milliseconds since the epoch of an ISO 8601 UTC time as the JSON status
// writes it ("2026-12-09T08:40:00.123Z"); 0 when it is none.
long long isoTimeMs(const std::string& text);

// Sends SIGHUP to `pid` and waits at most `timeoutS` seconds for the
// result in `statusDirectory`'s JSON status.
tReloadResult reloadAndWait(pid_t pid, const std::string& statusDirectory, double timeoutS);

// The result of a reload that began at or after `askedMs` (milliseconds
// since the epoch), from the JSON status text `json`; exit status -1 while
// there is none yet.
tReloadResult reloadResultIn(const std::string& json, pid_t pid, long long askedMs);

}  // namespace nPluginCheck

#endif  // ZOKORVO_CHECK_RELOADWAIT_H
