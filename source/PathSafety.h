// tPathSafety decides whether the service, which runs as root, may trust a
// file enough to read it or run its code: nobody but a trusted owner (root,
// and the service's own effective user) can have changed it.
//
// The rule: after following symbolic links, the file and every directory
// from / down to it are owned by a trusted owner and none of them is
// writable by group or others. A directory that group or others may write
// counts as safe when it has the sticky bit and root owns it (/tmp): nobody
// else can rename or remove what another user put there. A link followed on
// the way is judged by its owner: it cannot be written, only replaced; a
// kernel link under /proc is judged by the object it leads to, and is unsafe
// when no name leads to that object. A name that does not exist is safe only
// when its directory is not writable by group or others, sticky or not:
// then only a trusted owner could create it (the caller's own open then
// finds it missing). A path that cannot be examined (EACCES, a loop of
// links) is not safe. So nobody but a trusted owner can change any name on
// the way between a safe verdict and the open that follows it.
//
// One object serves one pass over many files: each existing directory's
// verdict is computed once and kept with an O_PATH descriptor of the
// directory, so a file in a directory seen before costs one fstatat(2) of its
// name there. A missing name's verdict is never kept, and a relative path is
// resolved against the working directory of the moment it is checked. The
// verdicts are never refreshed; a new pass takes a new object, and the
// object closes its descriptors when destroyed.
// Not thread-safe: an object belongs to the thread that made it. Nothing
// throws but std::bad_alloc.
#ifndef ZOKORVO_PATHSAFETY_H
#define ZOKORVO_PATHSAFETY_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class tLibrarySearch;

// Why a path is not safe, naming the one file, directory or link at fault.
struct tPathVerdict {
    // creatable: a missing name in a directory others may write;
    // kernelLink: a /proc link whose object cannot be judged;
    // runPath: a library that searches the working directory or a relative one.
    enum class tFault { none, owner, mode, unexamined, creatable, kernelLink, runPath };

    bool safe() const { return fault == tFault::none; }
    // "/opt/zo/plugins is writable by others (mode 0777)",
    // "/opt/zo/lib/libx.so is owned by uid 1000 (needed by /opt/zo/p.so)",
    // "/opt/zo/p.so searches the working directory (an empty entry) for the
    // libraries it needs";
    // empty when safe.
    std::string reason() const;

    tFault fault = tFault::none;
    std::string path;    // the resolved path of what is at fault
    uid_t owner = 0;     // tFault::owner: its owner
    mode_t mode = 0;     // tFault::mode: its permission bits, sticky bit included;
                         // tFault::creatable: those of its directory
    int error = 0;       // tFault::unexamined: the errno of the lookup
    std::string detail;  // tFault::runPath: the run path's entry at fault
    std::string via;     // how a library's search came to it: "needed by /opt/zo/p.so"

  private:
    std::string faultText() const;
};

class tPathSafety {
  public:
    // Trusts root and the effective user of this process.
    tPathSafety();
    // Closes the directories it kept open.
    ~tPathSafety();
    tPathSafety(const tPathSafety&) = delete;
    tPathSafety& operator=(const tPathSafety&) = delete;

    // The verdict on `path` (absolute, or relative to the working directory).
    tPathVerdict check(const std::string& path);
    // The same, and whether the path leads to something.
    tPathVerdict check(const std::string& path, bool& exists);

    // The verdict on a plugin's library and on every library the loader
    // would map with it (LibrarySearch.h). `loaderName` is what to hand the
    // loader: a path made absolute now, or a bare name as given.
    tPathVerdict checkLibrary(const std::string& path, std::string& loaderName);

    // Opens the file at the absolute `path` checked before, through the
    // descriptor of its directory when this object keeps one: the kernel
    // then looks up one name instead of the whole path. -1 with errno set
    // on failure.
    int openChecked(const std::string& path, int flags) const;

    // `path` made absolute with the working directory of this moment; empty,
    // with errno set, when that cannot be read.
    static std::string absolute(const std::string& path);

  private:
    // A directory as the caller named it: where it led and what was found.
    struct tResolvedDirectory {
        tPathVerdict verdict;
        std::string resolved;  // the real directory, when it exists
        bool exists = true;
        int descriptor = -1;  // O_PATH of `resolved` when safe: its names are looked up there
        // The directory `descriptor` was opened on: plugin code may close the
        // descriptor and the number then name another file.
        dev_t device = 0;
        ino_t inode = 0;
    };

    // True while `directory`'s descriptor still leads to the directory it
    // was opened on.
    static bool descriptorStillLeads(const tResolvedDirectory& directory);

    const tResolvedDirectory& resolveDirectory(const std::string& directory);
    // Looks up `pending` (a stack of names, next last) from the real
    // directory `current`, judging every directory and link on the way.
    tPathVerdict walk(std::string& current, std::vector<std::string>& pending, bool& exists);
    tPathVerdict judge(const std::string& path, const struct stat& info) const;
    bool trusted(uid_t owner) const;

    uid_t serviceUser;
    std::unique_ptr<tLibrarySearch> librarySearch;  // made when a library is first checked
    // Verdicts of real directories (no link in their path), each covering
    // the whole chain from / down to it.
    std::unordered_map<std::string, tPathVerdict> realDirectories;
    std::unordered_map<std::string, tResolvedDirectory> namedDirectories;
    tResolvedDirectory missingDirectory;  // the last directory found missing, never kept
    std::string directoryName;            // scratch: the directory part of the path checked
    std::string resolvedName;             // scratch: the file's name in its real directory
};

#endif  // ZOKORVO_PATHSAFETY_H
