// Test support: reading the service's status file while it runs, and
// comparing it exactly apart from what measures the machine.
//
// The status file carries measurements: the time it was written, the
// initialisation time (which includes the deployment query) and every
// plugin step's duration. normalizeMeasurements() makes a status text
// comparable with one written by hand for a machine on which every step
// without a pause of its own takes under 1 ms, without asking how long any
// step took on this one. Not thread-safe.
#ifndef ZO_TESTS_STATUSFILETEXT_H
#define ZO_TESTS_STATUSFILETEXT_H

#include <chrono>
#include <string>

#include "support/ServiceProcess.h"

namespace zotest {

// Waits until the status file contains `part`; false when `limit` passed.
bool waitForStatusContaining(const TestRoot& root, const std::string& part,
                             std::chrono::milliseconds limit = eventLimit());

// Waits until the JSON status names `phase` ("running": the start is over,
// and what it reports is what the service announced as ready).
bool waitForPhase(const TestRoot& root, const char* phase,
                  std::chrono::milliseconds limit = eventLimit());

// The status text with the "Updated:" line checked and replaced by
// "Updated: <time>" and the "Init Time" line removed. Of the plugin step
// lines, a step with code 0 is removed, however long it took, unless it is
// one of the test plugins' own pauses (kept as measured), and a step with
// another code is shown as taking 0 ms. What should never be printed (an
// "Init Time" of 0 ms, a step of 0 ms with code 0) is kept, so that the
// comparison fails on it.
std::string normalizeMeasurements(const std::string& statusText);

}  // namespace zotest

#endif  // ZO_TESTS_STATUSFILETEXT_H
