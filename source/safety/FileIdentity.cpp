#include "safety/FileIdentity.h"

#include <functional>
#include <string_view>

#include <sys/stat.h>

bool sameFile(const tFileIdentity& first, const tFileIdentity& second) {
    return first.known && second.known && first.device == second.device &&
           first.inode == second.inode && first.size == second.size &&
           first.modifiedNs == second.modifiedNs;
}

tFileIdentity identifyFile(const char* path) {
    struct stat status {};
    if (path == nullptr || path[0] == '\0' || stat(path, &status) != 0) {
        return tFileIdentity();
    }
    return identityOf(status);
}

tFileIdentity identityOf(const struct stat& info) {
    tFileIdentity identity;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.size = info.st_size;
    identity.modifiedNs =
        static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.known = true;
    identity.mode = info.st_mode;
    identity.owner = info.st_uid;
    identity.changedNs =
        static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return identity;
}

bool sameFileAndKeeping(const tFileIdentity& first, const tFileIdentity& second) {
    return sameFile(first, second) && first.mode == second.mode && first.owner == second.owner &&
           first.changedNs == second.changedNs;
}

uint64_t fingerprintBytes(const char* bytes, size_t size) {
    // The standard library's hash of bytes, a word at a time: a fingerprint
    // lives only as long as the process, so its values need not be stable
    // across builds.
    return std::hash<std::string_view>()(std::string_view(bytes, size));
}
