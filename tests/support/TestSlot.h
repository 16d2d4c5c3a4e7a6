// Test support: the slot of the build tree's test root that this test
// process holds, so that tests run side by side.
//
// holdTestSlot() runs first in every test executable (support/TestMain.cpp).
// It takes the first free slot (an flock(2) on a lock file of the build tree,
// held until the process ends, so a slot is free exactly when no test
// process holds it) and names it in ZO_TEST_SLOT. The process then runs
// itself again: the fixed paths of the test variant, linked into some test
// executables, are set before main() runs, and must see the slot. Every
// service and checker the test starts inherits the variable and so uses the
// same slot's paths. A ZO_TEST_SLOT set by hand is kept as it is.
#ifndef ZO_TESTS_TESTSLOT_H
#define ZO_TESTS_TESTSLOT_H

#include <string>

namespace zotest {

// Takes a slot and runs the executable again with it; returns (having done
// nothing) in the process that already has one.
void holdTestSlot(char** argv);

// `path`, one of the test variant's fixed paths under ZO_TEST_ROOT, in this
// process's slot: the path the service it starts uses.
std::string inThisSlot(const std::string& path);

}  // namespace zotest

#endif  // ZO_TESTS_TESTSLOT_H
