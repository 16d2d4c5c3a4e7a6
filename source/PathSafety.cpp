#include "PathSafety.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

}  // namespace

std::string tPathVerdict::reason() const {
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
        default:
            return "";
    }
}

tPathSafety::tPathSafety() : serviceUser(geteuid()) {}

tPathSafety::~tPathSafety() {
    for (const auto& named : namedDirectories) {
        if (named.second.descriptor >= 0) {
            close(named.second.descriptor);
        }
    }
}

tPathVerdict tPathSafety::checkLibrary(const std::string& path) {
    if (path.find('/') == std::string::npos) {
        return tPathVerdict();
    }
    return check(path);
}

tPathVerdict tPathSafety::check(const std::string& path) {
    if (path.empty()) {
        return tPathVerdict();
    }
    if (path[0] != '/') {
        const std::string full = absolute(path);
        return full.empty() ? unexamined(path, errno) : check(full);
    }
    const size_t slash = path.rfind('/');
    // The members are reused so that checking a file in a directory seen
    // before allocates nothing: the start pass opens libraries one after
    // another with nothing allocated in between.
    directoryName.assign(path, 0, slash == 0 ? 1 : slash);
    const tResolvedDirectory& directory = resolveDirectory(directoryName);
    if (!directory.verdict.safe() || !directory.exists) {
        return directory.verdict;
    }
    resolvedName = directory.resolved;
    if (resolvedName != "/") {
        resolvedName += '/';
    }
    resolvedName.append(path, slash + 1, std::string::npos);
    // Looked up in the directory already judged, the name costs one
    // component's lookup instead of the whole path's.
    struct stat info;
    if (directory.descriptor >= 0 &&
        fstatat(directory.descriptor, path.c_str() + slash + 1, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISLNK(info.st_mode) && !S_ISDIR(info.st_mode)) {
        return judge(resolvedName, info);
    }
    // A link to follow, a name such as ".." or a missing file: the full walk.
    std::string current = directory.resolved;
    std::vector<std::string> pending;
    pushNames(path.substr(slash + 1), pending);
    bool exists = true;
    return walk(current, pending, exists);
}

// Empty, with errno set, when the working directory cannot be read.
std::string tPathSafety::absolute(const std::string& path) {
    if (path[0] == '/') {
        return path;
    }
    if (workingDirectory.empty()) {
        char buffer[PATH_MAX];
        if (getcwd(buffer, sizeof buffer) == nullptr) {
            return "";
        }
        workingDirectory = buffer;
    }
    return joined(workingDirectory, path);
}

const tPathSafety::tResolvedDirectory& tPathSafety::resolveDirectory(const std::string& directory) {
    const auto known = namedDirectories.find(directory);
    if (known != namedDirectories.end()) {
        return known->second;
    }
    tResolvedDirectory resolved;
    resolved.resolved = "/";
    std::vector<std::string> pending;
    pushNames(directory, pending);
    resolved.verdict = walk(resolved.resolved, pending, resolved.exists);
    if (resolved.verdict.safe() && resolved.exists) {
        resolved.descriptor =
            open(resolved.resolved.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    }
    return namedDirectories.emplace(directory, std::move(resolved)).first->second;
}

tPathVerdict tPathSafety::walk(std::string& current, std::vector<std::string>& pending,
                               bool& exists) {
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
            continue;
        }
        struct stat info;
        if (lstat(candidate.c_str(), &info) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                exists = false;
                return tPathVerdict();
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
            if (!target.empty() && target[0] == '/') {
                current = "/";
            }
            pushNames(target, pending);
            continue;
        }
        if (!S_ISDIR(info.st_mode) && !pending.empty()) {
            // A file where a directory is needed: the lookup finds nothing.
            exists = false;
            return tPathVerdict();
        }
        current = candidate;
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
