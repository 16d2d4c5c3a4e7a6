#include "plugins/HeldLibrary.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace {

// The device and inode of the mapping of this process that contains
// `address`; false when none does.
bool mappedFileAt(uintptr_t address, dev_t& device, ino_t& inode) {
    FILE* maps = fopen("/proc/self/maps", "re");
    if (maps == nullptr) {
        return false;
    }
    bool found = false;
    char line[4096];
    while (!found && fgets(line, sizeof line, maps) != nullptr) {
        uintptr_t begin = 0;
        uintptr_t end = 0;
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long node = 0;
        if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %*s %*s %x:%x %llu", &begin, &end, &major,
                   &minor, &node) == 5 &&
            address >= begin && address < end) {
            device = makedev(major, minor);
            inode = static_cast<ino_t>(node);
            found = true;
        }
    }
    fclose(maps);
    return found;
}

// The device and inode a mapping of the regular file at `path` shows: what
// the loader's own mapping is compared with. stat() of the path may name the
// same file otherwise: on overlayfs (a container's root) the maps show the
// layer's device below, stat() the overlay's.
bool mappedFileOf(const char* path, dev_t& device, ino_t& inode) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    bool found = false;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        void* const page = mmap(nullptr, 1, PROT_READ, MAP_PRIVATE, fd, 0);
        if (page != MAP_FAILED) {
            found = mappedFileAt(reinterpret_cast<uintptr_t>(page), device, inode);
            munmap(page, 1);
        }
    }
    close(fd);
    return found;
}

}  // namespace

bool loaderHoldsReplacedCopy(const std::string& loaderName) {
    if (loaderName.empty()) {
        return false;
    }
    void* const held = dlopen(loaderName.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (held == nullptr) {
        return false;
    }
    bool replaced = false;
    link_map* map = nullptr;
    if (dlinfo(held, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_ld != nullptr) {
        dev_t device = 0;
        ino_t inode = 0;
        dev_t deviceNow = 0;
        ino_t inodeNow = 0;
        // The dynamic section lies in the object's own mapping of its file.
        if (mappedFileAt(reinterpret_cast<uintptr_t>(map->l_ld), device, inode)) {
            replaced = !mappedFileOf(map->l_name, deviceNow, inodeNow) || deviceNow != device ||
                       inodeNow != inode;
        }
    }
    // RTLD_NOLOAD took a reference of its own: given back at once.
    dlclose(held);
    return replaced;
}
