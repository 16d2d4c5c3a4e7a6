// tPathSafety decides whether the service, which runs as root, may trust a
// file enough to read it or run its code: nobody but a trusted owner (root,
// and the service's own effective user unless root alone is asked for) can
// have changed it. The loader's judge (LoaderJudge.cpp) asks it about every
// file the dynamic loader is about to open; nothing here knows of plugins.
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

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <unordered_map>
#include <vector>

// Why a path is not safe, naming the one file, directory or link at fault.
struct tPathVerdict {
    // creatable: a missing name in a directory others may write;
    // kernelLink: a /proc link whose object cannot be judged;
    enum class tFault { none, owner, mode, unexamined, creatable, kernelLink };

    bool safe() const { return fault == tFault::none; }
    // "/opt/zo/plugins is writable by others (mode 0777)",
    // "/opt/zo/lib/libx.so is owned by uid 1000 (needed by /opt/zo/p.so)";
    // empty when safe.
    std::string reason() const;

    tFault fault = tFault::none;
    std::string path;  // the resolved path of what is at fault
    uid_t owner = 0;   // tFault::owner: its owner
    mode_t mode = 0;   // tFault::mode: its permission bits, sticky bit included;
                       // tFault::creatable: those of its directory
    int error = 0;     // tFault::unexamined: the errno of the lookup
    std::string via;   // how a library's search came to it: "needed by /opt/zo/p.so"

  private:
    std::string faultText() const;
};

class tPathSafety {
  public:
    // Trusts root and the effective user of this process, or root alone.
    enum class tTrust { rootAndServiceUser, rootAlone };
    explicit tPathSafety(tTrust trust = tTrust::rootAndServiceUser);
    // Closes the directories it kept open.
    ~tPathSafety();
    tPathSafety(const tPathSafety&) = delete;
    tPathSafety& operator=(const tPathSafety&) = delete;

    // Keeps no descriptor open: each name is then looked up by its whole
    // path, directories judged before still counting. For a judge that runs
    // inside the process whose plugins it judges, where a descriptor kept
    // open would be one of theirs to find and close.
    void keepNoDescriptors() { keepDescriptors = false; }

    // The verdict on `path` (absolute, or relative to the working directory).
    tPathVerdict check(const std::string& path);
    // The same, and whether the path leads to something.
    tPathVerdict check(const std::string& path, bool& exists);
    // The same, and the type bits (S_IFMT) of what it leads to, links
    // followed; 0 when nothing is there or it was not looked at.
    tPathVerdict check(const std::string& path, bool& exists, mode_t& type);

    // The status of what the absolute `path` names, without following a
    // link, looked up by its name in its directory as this object judged it:
    // one component's lookup instead of the whole path's. False, with
    // nothing looked up, unless that directory is safe and kept open and the
    // last name is a plain one; false when nothing is there.
    bool statInJudgedDirectory(const std::string& path, struct stat& info);

    // Opens `path` (absolute, or relative to the working directory of this
    // moment) for reading and judges the object opened, whose fstat(2) it
    // leaves in `info`: what is judged is what the caller reads. Returns the
    // descriptor (close-on-exec, non-blocking, so that a FIFO cannot hold the
    // caller) when safe; otherwise -1 with `verdict` saying why, or with a
    // safe verdict, `exists` false and errno ENOENT when nothing is there,
    // or a safe verdict and errno set when the open itself failed.
    int openJudged(const std::string& path, tPathVerdict& verdict, struct stat& info, bool& exists);

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
        mode_t mode = 0;  // its permission bits: who may create a name in it
    };

    // True while `directory`'s descriptor still leads to the directory it
    // was opened on.
    static bool descriptorStillLeads(const tResolvedDirectory& directory);

    const tResolvedDirectory& resolveDirectory(const std::string& directory);
    // The judged directory of the absolute `path`, whose last '/' is at
    // `slash`; leaves the file's name in the real directory in resolvedName.
    const tResolvedDirectory& directoryOf(const std::string& path, size_t slash);
    // The verdict on the descriptor just opened on `path`, closed unless safe.
    int judgeOpened(int descriptor, const std::string& path, tPathVerdict& verdict,
                    struct stat& info) const;
    // Looks up `pending` (a stack of names, next last) from the real
    // directory `current`, judging every directory and link on the way.
    tPathVerdict walk(std::string& current, std::vector<std::string>& pending, bool& exists,
                      mode_t& type);
    tPathVerdict judge(const std::string& path, const struct stat& info) const;
    bool trusted(uid_t owner) const;

    uid_t serviceUser;
    bool keepDescriptors = true;
    // Verdicts of real directories (no link in their path), each covering
    // the whole chain from / down to it.
    std::unordered_map<std::string, tPathVerdict> realDirectories;
    std::unordered_map<std::string, tResolvedDirectory> namedDirectories;
    tResolvedDirectory missingDirectory;  // the last directory found missing, never kept
    std::string directoryName;            // scratch: the directory part of the path checked
    std::string resolvedName;             // scratch: the file's name in its real directory
};

#endif  // ZOKORVO_PATHSAFETY_H
