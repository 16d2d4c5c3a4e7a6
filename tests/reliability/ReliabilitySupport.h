// Test support for the reliability tests: the status file's text reduced to
// what does not depend on the machine's speed, so that runs under
// sanitizers, valgrind or a signal storm compare exactly.
#ifndef ZO_TESTS_RELIABILITYSUPPORT_H
#define ZO_TESTS_RELIABILITYSUPPORT_H

#include <string>

namespace zotest {

// The status text with its "Updated:" line checked and shown as
// "Updated: <time>", without the "Init Time" line, without every step's
// "Time:" line and without the "Code:" lines of steps that returned 0: what
// is left is what the service decided, whatever each step took.
std::string withoutMeasurements(const std::string& statusText);

}  // namespace zotest

#endif  // ZO_TESTS_RELIABILITYSUPPORT_H
