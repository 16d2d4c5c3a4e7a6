// Where the test variant's fixed paths lie when several tests run at once.
//
// Each test process holds one slot of the build tree's test root and names
// it in the environment (ZO_TEST_SLOT, one digit; the tests' own main takes a
// free slot and sets it). The fixed paths of the test variant, compiled under
// "<root>", then lie under "<root>-<slot>", so the service and the checker a
// test starts use that test's directories alone. Only the test variant reads
// the variable (a build that names ZO_TEST_SLOT_ROOT); the installed
// executables never do.
#ifndef ZOKORVO_TESTSLOT_H
#define ZOKORVO_TESTSLOT_H

#include <cstdlib>
#include <string>

inline constexpr const char* kTestSlotVariable = "ZO_TEST_SLOT";

// `path` moved under the slot's root when it lies under `root` and the
// environment names a slot; `path` itself otherwise.
inline std::string inTestSlot(const std::string& path, const std::string& root) {
    const char* slot = std::getenv(kTestSlotVariable);
    const bool namesASlot = slot != nullptr && slot[0] >= '0' && slot[0] <= '9' && slot[1] == '\0';
    const bool underRoot = path.compare(0, root.size(), root) == 0 &&
                           (path.size() == root.size() || path[root.size()] == '/');
    if (!namesASlot || !underRoot) {
        return path;
    }
    return root + "-" + slot + path.substr(root.size());
}

#endif  // ZOKORVO_TESTSLOT_H
