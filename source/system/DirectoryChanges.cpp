#include "system/DirectoryChanges.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr uint32_t kEveryChange = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                  IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                  IN_ONLYDIR;

}  // namespace

tDirectoryChanges::tDirectoryChanges(const std::string& directory) noexcept
    : watchFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (watchFd < 0 || inotify_add_watch(watchFd, directory.c_str(), kEveryChange) < 0) {
        changed = true;
    }
}

tDirectoryChanges::~tDirectoryChanges() {
    if (watchFd >= 0) {
        close(watchFd);
    }
}

bool tDirectoryChanges::anyChange() noexcept {
    if (changed) {
        return true;
    }
    // Any event at all, an overflow of the queue included, is a change.
    alignas(inotify_event) char events[4096];
    ssize_t got;
    do {
        got = read(watchFd, events, sizeof events);
    } while (got < 0 && errno == EINTR);
    changed = got > 0 || (got < 0 && errno != EAGAIN);
    return changed;
}
