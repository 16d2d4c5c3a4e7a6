#include "support/TestSlot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/TestSlot.h"

namespace zotest {
namespace {

// As many as the suite ever runs at once (ctest -j, two cores and two more).
constexpr int kSlots = 8;
// Where the holder of the lock on a slot's file is named, for the one exec.
constexpr const char* kLockVariable = "ZO_TEST_SLOT_LOCK";

[[noreturn]] void giveUp(const char* what) {
    std::fprintf(stderr, "test slot: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// Opens slot `slot`'s lock file; inherited by the next program on purpose.
int openSlotLock(int slot) {
    const std::string directory = std::string(ZO_TEST_BINARY_DIR) + "/slots";
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        giveUp(directory.c_str());
    }
    const std::string path = directory + "/" + std::to_string(slot) + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        giveUp(path.c_str());
    }
    return fd;
}

// The first free slot, or, when every slot is taken, one slot waited for.
int takeSlot(int& lockFd) {
    for (int slot = 0; slot < kSlots; ++slot) {
        lockFd = openSlotLock(slot);
        if (flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
            return slot;
        }
        close(lockFd);
    }
    const int slot = static_cast<int>(getpid() % kSlots);
    lockFd = openSlotLock(slot);
    while (flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            giveUp("waiting for a slot");
        }
    }
    return slot;
}

// After the exec: the lock stays with this process and its own children
// alone, not with the services it starts (whose descriptors tests count).
void keepLockFromChildren() {
    if (const char* lock = getenv(kLockVariable)) {
        fcntl(atoi(lock), F_SETFD, FD_CLOEXEC);
        unsetenv(kLockVariable);
    }
}

}  // namespace

void holdTestSlot(char** argv) {
    if (getenv(kTestSlotVariable) != nullptr) {
        keepLockFromChildren();
        return;
    }
    int lockFd = -1;
    const int slot = takeSlot(lockFd);
    setenv(kTestSlotVariable, std::to_string(slot).c_str(), 1);
    setenv(kLockVariable, std::to_string(lockFd).c_str(), 1);
    execv("/proc/self/exe", argv);
    giveUp("running the test again in its slot");
}

std::string inThisSlot(const std::string& path) { return inTestSlot(path, ZO_TEST_ROOT); }

}  // namespace zotest
