// What tells, without keeping a file's content, whether the file at a path is
// still the one the service saw before: the identity of a library file and a
// fingerprint of a description file's bytes. The reload compares both to
// decide which running plugins it may keep.
//
// Plain values and free functions without state; everything is thread-safe.
// Nothing here throws: a file that cannot be examined has an unknown
// identity, which equals no identity at all, so it always counts as changed.
#ifndef ZOKORVO_FILEIDENTITY_H
#define ZOKORVO_FILEIDENTITY_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct tFileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0;
    bool known = false;
    // Who may change the file, and when its owner or mode last changed: not
    // part of sameFile(), which asks whether the content is the one seen.
    mode_t mode = 0;
    uid_t owner = 0;
    int64_t changedNs = 0;
};

// True when both are known and name the same file in the same state: a file
// replaced in place (new inode), rewritten or touched is another file.
bool sameFile(const tFileIdentity& first, const tFileIdentity& second);

// The identity of the file at `path`, links followed; unknown when stat(2) fails.
tFileIdentity identifyFile(const char* path);
// The identity of the file `info` describes.
tFileIdentity identityOf(const struct stat& info);

// True when both name the same file in the same state, and nothing about who
// may change it has changed either: owner, mode and status-change time.
bool sameFileAndKeeping(const tFileIdentity& first, const tFileIdentity& second);

// A 64-bit fingerprint of a file's bytes, as read, for this process only.
uint64_t fingerprintBytes(const char* bytes, size_t size);

#endif  // ZOKORVO_FILEIDENTITY_H
