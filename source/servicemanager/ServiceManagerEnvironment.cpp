#include "servicemanager/ServiceManagerEnvironment.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// A whole unsigned decimal number above 0, as the manager writes it; 0 for
// anything else.
uint64_t positiveNumber(const char* text) {
    if (text == nullptr || text[0] < '0' || text[0] > '9') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' ? value : 0;
}

std::string valueOf(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

tServiceManagerEnvironment takeServiceManagerEnvironment() {
    tServiceManagerEnvironment environment;
    environment.notifySocket = valueOf("NOTIFY_SOCKET");
    const char* watchdogPid = getenv("WATCHDOG_PID");
    // The watchdog is this process's only when no other process is named.
    if (watchdogPid == nullptr || positiveNumber(watchdogPid) == static_cast<uint64_t>(getpid())) {
        environment.watchdogUs = positiveNumber(getenv("WATCHDOG_USEC"));
    }
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    return environment;
}
