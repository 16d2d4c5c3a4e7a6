// What the service manager hands the service through its environment: the
// notification socket (NOTIFY_SOCKET) and the watchdog interval
// (WATCHDOG_USEC, for the process WATCHDOG_PID names).
//
// takeServiceManagerEnvironment() reads the three variables once and removes
// them from the environment, so that no plugin, and no process a plugin
// starts, can speak to the manager for the service or flood it. It must run
// before any thread is started and any plugin is loaded (setenv(3) and its
// kin are not thread-safe). Nothing here throws or fails: a value that does
// not make sense counts as not given.
#ifndef ZOKORVO_SERVICEMANAGERENVIRONMENT_H
#define ZOKORVO_SERVICEMANAGERENVIRONMENT_H

#include <cstdint>
#include <string>

struct tServiceManagerEnvironment {
    // The notification socket's address: a path, or "@name" in the abstract
    // namespace; empty when the manager asked for no notifications.
    std::string notifySocket;
    // The watchdog interval for this process in microseconds; 0 for none.
    uint64_t watchdogUs = 0;
};

tServiceManagerEnvironment takeServiceManagerEnvironment();

#endif  // ZOKORVO_SERVICEMANAGERENVIRONMENT_H
