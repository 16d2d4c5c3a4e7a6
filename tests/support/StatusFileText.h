// Test support: reading the service's status file while it runs, and
// comparing it exactly apart from what measures the machine.
//
// The status file carries measurements: the time it was written, the
// initialisation time (which includes the deployment query) and every
// plugin step's duration. normalizeMeasurements() makes a status text
// comparable with one written by hand for a machine on which every step
// without a pause of its own takes under 1 ms. Not thread-safe.
#ifndef ZO_TESTS_STATUSFILETEXT_H
#define ZO_TESTS_STATUSFILETEXT_H

#include <chrono>
#include <string>

#include "support/ServiceProcess.h"

namespace zotest {

// Steps at least this long are taken as the plugin's own pauses and kept.
constexpr unsigned kStalledStepLimitMs = 20;

// Waits until the status file contains `part`; false when `limit` passed.
bool waitForStatusContaining(const TestRoot& root, const std::string& part,
                             std::chrono::milliseconds limit = std::chrono::seconds(20));

// The status text with the "Updated:" line checked and replaced by
// "Updated: <time>" and the "Init Time" line removed. Of the plugin step
// lines, a step with code 0 that took from 1 ms to under kStalledStepLimitMs
// is removed, and a step with another code that took under
// kStalledStepLimitMs is shown as taking 0 ms. What should never be printed
// (an "Init Time" of 0 ms, a step of 0 ms with code 0) is kept, so that the
// comparison fails on it.
std::string normalizeMeasurements(const std::string& statusText);

}  // namespace zotest

#endif  // ZO_TESTS_STATUSFILETEXT_H
