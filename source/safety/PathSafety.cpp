#include "safety/PathSafety.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace {

// The kernel's own limit on the links one lookup may follow.
constexpr int kMaxLinksFollowed = 40;

tPathVerdict unexamined(const std::string& path, int error) {
    tPathVerdict verdict;
    verdict.fault = tPathVerdict::tFault::unexamined;
    verdict.path = path;
    verdict.error = error;
    return verdict;
}

// Pushes the names of `path` so that the first comes out first.
void pushNames(const std::string& path, std::vector<std::string>& pending) {
    size_t end = path.size();
    while (end > 0) {
        const size_t slash = path.rfind('/', end - 1);
        const size_t begin = slash == std::string::npos ? 0 : slash + 1;
        if (end > begin) {
            pending.push_back(path.substr(begin, end - begin));
        }
        if (slash == std::string::npos) {
            break;
        }
        end = slash;
    }
}

std::string joined(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// `directory` has no link in it, so its parent is its text up to the last '/'.
std::string parentOf(const std::string& directory) {
    const size_t slash = directory.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : directory.substr(0, slash);
}

bool readLink(const std::string& path, std::string& target) {
    char buffer[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    if (length < 0) {
        return false;
    }
    if (static_cast<size_t>(length) == sizeof buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.assign(buffer, static_cast<size_t>(length));
    return true;
}

tPathVerdict kernelLink(const std::string& path) {
    tPathVerdict verdict;
    verdict.fault = tPathVerdict::tFault::kernelLink;
    verdict.path = path;
    return verdict;
}

// The links of /proc (a process's fd/N, cwd, exe, root) lead to an object,
// not to the text they show: a deleted file reads as "/x (deleted)", a pipe
// as "pipe:[7]", and a file in another mount namespace by a name that means
// something else here.
bool isKernelLinkDirectory(const std::string& directory) {
    struct statfs info;
    return statfs(directory.c_str(), &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

// Whether the object a kernel link leads to is the one its text names, so
// that judging the text judges the object.
bool leadsWhereItSays(const std::string& link, const std::string& directory,
                      const std::string& target) {
    const std::string named =
        !target.empty() && target[0] == '/' ? target : joined(directory, target);
    struct stat object;
    struct stat byName;
    return stat(link.c_str(), &object) == 0 && stat(named.c_str(), &byName) == 0 &&
           object.st_dev == byName.st_dev && object.st_ino == byName.st_ino;
}

// The directory was judged safe, yet root's sticky directories (/tmp) are
// writable by everyone: a name missing there is anyone's to create.
tPathVerdict missingIn(mode_t directoryMode, const std::string& name) {
    tPathVerdict verdict;
    if ((directoryMode & (S_IWGRP | S_IWOTH)) != 0) {
        verdict.fault = tPathVerdict::tFault::creatable;
        verdict.path = name;
        verdict.mode = directoryMode & 07777;
    }
    return verdict;
}

tPathVerdict judgeMissing(const std::string& directory, const std::string& name) {
    struct stat info;
    if (lstat(directory.c_str(), &info) != 0) {
        return unexamined(directory, errno);
    }
    return missingIn(info.st_mode, name);
}

// A name the kernel looks up in the directory itself: not empty, "." or "..".
bool isPlainName(const char* name) {
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// Read-only, and never blocking on a FIFO or taking a terminal.
constexpr int kJudgedOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

}  // namespace

std::string tPathVerdict::faultText() const {
    switch (fault) {
        case tFault::owner:
            return path + " is owned by uid " + std::to_string(owner);
        case tFault::mode: {
            char bits[16];
            snprintf(bits, sizeof bits, "%04o", static_cast<unsigned>(mode));
            return path + " is writable by " + ((mode & S_IWOTH) != 0 ? "others" : "its group") +
                   " (mode " + bits + ")";
        }
        case tFault::unexamined:
            return path + " cannot be examined: " + std::generic_category().message(error);
        case tFault::creatable: {
            char bits[16];
            snprintf(bits, sizeof bits, "%04o", static_cast<unsigned>(mode));
            return path + " does not exist, and " +
                   ((mode & S_IWOTH) != 0 ? "others" : "its group") +
                   " may create it (its directory has mode " + bits + ")";
        }
        case tFault::kernelLink:
            return path + " is a kernel link to an object without a name that can be judged";
        default:
            return "";
    }
}

std::string tPathVerdict::reason() const {
    std::string text = faultText();
    if (!text.empty() && !via.empty()) {
        text += " (" + via + ")";
    }
    return text;
}

tPathSafety::tPathSafety(tTrust trust) : serviceUser(trust == tTrust::rootAlone ? 0 : geteuid()) {}

tPathSafety::~tPathSafety() {
    for (const auto& named : namedDirectories) {
        if (named.second.descriptor >= 0 && descriptorStillLeads(named.second)) {
            close(named.second.descriptor);
        }
    }
}

bool tPathSafety::descriptorStillLeads(const tResolvedDirectory& directory) {
    struct stat info;
    return fstat(directory.descriptor, &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_dev == directory.device && info.st_ino == directory.inode;
}

bool tPathSafety::statInJudgedDirectory(const std::string& path, struct stat& info) {
    if (path.empty() || path[0] != '/') {
        return false;
    }
    const size_t slash = path.rfind('/');
    const tResolvedDirectory& directory = directoryOf(path, slash);
    const char* name = path.c_str() + slash + 1;
    return directory.verdict.safe() && directory.exists && directory.descriptor >= 0 &&
           isPlainName(name) &&
           fstatat(directory.descriptor, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

tPathVerdict tPathSafety::check(const std::string& path) {
    bool exists = true;
    return check(path, exists);
}

tPathVerdict tPathSafety::check(const std::string& path, bool& exists) {
    mode_t type = 0;
    return check(path, exists, type);
}

tPathVerdict tPathSafety::check(const std::string& path, bool& exists, mode_t& type) {
    exists = true;
    type = 0;
    if (path.empty()) {
        return tPathVerdict();
    }
    if (path[0] != '/') {
        const std::string full = absolute(path);
        return full.empty() ? unexamined(path, errno) : check(full, exists, type);
    }
    const size_t slash = path.rfind('/');
    const tResolvedDirectory& directory = directoryOf(path, slash);
    if (!directory.verdict.safe() || !directory.exists) {
        exists = directory.exists;
        return directory.verdict;
    }
    // Looked up in the directory already judged, the name costs one
    // component's lookup instead of the whole path's.
    const char* name = path.c_str() + slash + 1;
    if (directory.descriptor >= 0 && isPlainName(name)) {
        struct stat info;
        if (fstatat(directory.descriptor, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!S_ISLNK(info.st_mode) && !S_ISDIR(info.st_mode)) {
                type = info.st_mode & S_IFMT;
                return judge(resolvedName, info);
            }
        } else if (errno == ENOENT) {
            exists = false;
            return missingIn(directory.mode, resolvedName);
        }
    }
    // A link to follow, a name such as "..", or a directory: the full walk.
    std::string current = directory.resolved;
    std::vector<std::string> pending;
    pushNames(path.substr(slash + 1), pending);
    return walk(current, pending, exists, type);
}

int tPathSafety::openJudged(const std::string& path, tPathVerdict& verdict, struct stat& info,
                            bool& exists) {
    exists = true;
    verdict = tPathVerdict();
    if (path.empty()) {
        exists = false;
        errno = ENOENT;
        return -1;
    }
    if (path[0] != '/') {
        const std::string full = absolute(path);
        if (full.empty()) {
            verdict = unexamined(path, errno);
            return -1;
        }
        return openJudged(full, verdict, info, exists);
    }
    const size_t slash = path.rfind('/');
    const tResolvedDirectory& directory = directoryOf(path, slash);
    if (!directory.verdict.safe() || !directory.exists) {
        verdict = directory.verdict;
        exists = directory.exists;
        errno = ENOENT;
        return -1;
    }
    const char* name = path.c_str() + slash + 1;
    if (directory.descriptor >= 0 && isPlainName(name)) {
        // Opened without following a link, in the directory judged: the
        // object is judged by its own descriptor, so nothing can be swapped
        // in between.
        const int descriptor = openat(directory.descriptor, name, kJudgedOpenFlags | O_NOFOLLOW);
        if (descriptor >= 0) {
            return judgeOpened(descriptor, resolvedName, verdict, info);
        }
        if (errno == ENOENT) {
            exists = false;
            verdict = missingIn(directory.mode, resolvedName);
            errno = ENOENT;
            return -1;
        }
        // ELOOP: a link, which the walk follows and judges on its way.
    }
    verdict = check(path, exists);
    if (!verdict.safe() || !exists) {
        errno = ENOENT;
        return -1;
    }
    // Every name on the way was judged: only a trusted owner could change
    // one before this open.
    const int descriptor = open(path.c_str(), kJudgedOpenFlags);
    return descriptor < 0 ? -1 : judgeOpened(descriptor, path, verdict, info);
}

int tPathSafety::judgeOpened(int descriptor, const std::string& path, tPathVerdict& verdict,
                             struct stat& info) const {
    verdict = fstat(descriptor, &info) == 0 ? judge(path, info) : unexamined(path, errno);
    if (verdict.safe()) {
        return descriptor;
    }
    close(descriptor);
    return -1;
}

const tPathSafety::tResolvedDirectory& tPathSafety::directoryOf(const std::string& path,
                                                                size_t slash) {
    // The members are reused so that checking a file in a directory seen
    // before allocates nothing: the start pass opens libraries one after
    // another with nothing allocated in between.
    directoryName.assign(path, 0, slash == 0 ? 1 : slash);
    const tResolvedDirectory& directory = resolveDirectory(directoryName);
    resolvedName = directory.resolved;
    if (resolvedName != "/") {
        resolvedName += '/';
    }
    resolvedName.append(path, slash + 1, std::string::npos);
    return directory;
}

// Read anew each time: a plugin's Initialize may change directory, and a
// relative path then leads from where the process is now.
std::string tPathSafety::absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        return "";
    }
    return joined(buffer, path);
}

const tPathSafety::tResolvedDirectory& tPathSafety::resolveDirectory(const std::string& directory) {
    const auto known = namedDirectories.find(directory);
    if (known != namedDirectories.end()) {
        if (known->second.descriptor < 0 || descriptorStillLeads(known->second)) {
            return known->second;
        }
        // Closed behind our back, by plugin code: the number is no longer
        // ours to use or close. The directory is judged anew.
        namedDirectories.erase(known);
    }
    tResolvedDirectory resolved;
    resolved.resolved = "/";
    std::vector<std::string> pending;
    pushNames(directory, pending);
    mode_t type = 0;
    resolved.verdict = walk(resolved.resolved, pending, resolved.exists, type);
    if (!resolved.exists) {
        // Whoever may create a missing name may do so at any moment: its
        // verdict holds for this one look only.
        missingDirectory = std::move(resolved);
        return missingDirectory;
    }
    if (resolved.verdict.safe() && keepDescriptors) {
        resolved.descriptor =
            open(resolved.resolved.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        struct stat info;
        if (resolved.descriptor >= 0 && fstat(resolved.descriptor, &info) == 0) {
            resolved.device = info.st_dev;
            resolved.inode = info.st_ino;
            resolved.mode = info.st_mode;
        }
    }
    return namedDirectories.emplace(directory, std::move(resolved)).first->second;
}

tPathVerdict tPathSafety::walk(std::string& current, std::vector<std::string>& pending,
                               bool& exists, mode_t& type) {
    type = S_IFDIR;  // `current` is a directory
    if (current == "/" && realDirectories.count("/") == 0) {
        struct stat info;
        realDirectories.emplace("/",
                                lstat("/", &info) == 0 ? judge("/", info) : unexamined("/", errno));
    }
    const tPathVerdict& root = realDirectories.at("/");
    if (!root.safe()) {
        return root;
    }
    int linksFollowed = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            current = parentOf(current);
            continue;
        }
        const std::string candidate = joined(current, name);
        const auto known = realDirectories.find(candidate);
        if (known != realDirectories.end()) {
            if (!known->second.safe()) {
                return known->second;
            }
            current = candidate;
            type = S_IFDIR;
            continue;
        }
        struct stat info;
        if (lstat(candidate.c_str(), &info) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                exists = false;
                type = 0;
                return judgeMissing(current, candidate);
            }
            return unexamined(candidate, errno);
        }
        tPathVerdict verdict = judge(candidate, info);
        if (S_ISDIR(info.st_mode)) {
            realDirectories.emplace(candidate, verdict);
        }
        if (!verdict.safe()) {
            return verdict;
        }
        if (S_ISLNK(info.st_mode)) {
            std::string target;
            if (++linksFollowed > kMaxLinksFollowed) {
                return unexamined(candidate, ELOOP);
            }
            if (!readLink(candidate, target)) {
                return unexamined(candidate, errno);
            }
            if (isKernelLinkDirectory(current) && !leadsWhereItSays(candidate, current, target)) {
                return kernelLink(candidate);
            }
            if (!target.empty() && target[0] == '/') {
                current = "/";
            }
            pushNames(target, pending);
            continue;
        }
        if (!S_ISDIR(info.st_mode) && !pending.empty()) {
            // A file where a directory is needed: the lookup finds nothing.
            exists = false;
            type = 0;
            return tPathVerdict();
        }
        current = candidate;
        type = info.st_mode & S_IFMT;
    }
    return tPathVerdict();
}

tPathVerdict tPathSafety::judge(const std::string& path, const struct stat& info) const {
    tPathVerdict verdict;
    if (!trusted(info.st_uid)) {
        verdict.fault = tPathVerdict::tFault::owner;
        verdict.path = path;
        verdict.owner = info.st_uid;
        return verdict;
    }
    // A link's own mode means nothing: it can only be replaced, which its
    // directory's verdict covers.
    const bool writableByOthers = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool rootStickyDirectory =
        S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0 && info.st_uid == 0;
    if (S_ISLNK(info.st_mode) || !writableByOthers || rootStickyDirectory) {
        return verdict;
    }
    verdict.fault = tPathVerdict::tFault::mode;
    verdict.path = path;
    verdict.mode = info.st_mode & 07777;
    return verdict;
}

bool tPathSafety::trusted(uid_t owner) const {
    return owner == 0 || owner == serviceUser;
}
