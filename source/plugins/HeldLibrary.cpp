#include "plugins/HeldLibrary.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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
        struct stat now {};
        // The dynamic section lies in the object's own mapping of its file.
        if (mappedFileAt(reinterpret_cast<uintptr_t>(map->l_ld), device, inode)) {
            replaced = stat(map->l_name, &now) != 0 || now.st_dev != device || now.st_ino != inode;
        }
    }
    // RTLD_NOLOAD took a reference of its own: given back at once.
    dlclose(held);
    return replaced;
}
