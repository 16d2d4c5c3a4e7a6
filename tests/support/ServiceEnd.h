// Test support: ending a service under test by a signal, as a service manager
// does, and checking that it ended the orderly way: by that same signal, with
// nothing on standard error. For GoogleTest cases; not thread-safe.
#ifndef ZO_TESTS_SERVICEEND_H
#define ZO_TESTS_SERVICEEND_H

#include <gtest/gtest.h>
#include <signal.h>

#include "support/ServiceProcess.h"

namespace zotest {

inline void stopBySignal(ServiceProcess& service, int signal = SIGTERM) {
    service.sendSignal(signal);
    const ProcessEnd end = service.wait();
    ASSERT_TRUE(end.signaled) << "exit code " << end.exitCode;
    EXPECT_EQ(signal, end.signal);
    EXPECT_EQ("", service.standardError());
}

}  // namespace zotest

#endif  // ZO_TESTS_SERVICEEND_H
