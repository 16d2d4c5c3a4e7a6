#include "ProcessSnapshot.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

namespace nPluginCheck {
namespace {

// Calls `visit` with every entry of `directory` whose name is a number.
void forEachNumberedEntry(const std::string& directory, const std::function<void(long)>& visit,
                          int* listingDescriptor = nullptr) {
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return;
    }
    if (listingDescriptor != nullptr) {
        *listingDescriptor = dirfd(listing);
    }
    while (const dirent* entry = readdir(listing)) {
        char* end = nullptr;
        const long number = strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') {
            visit(number);
        }
    }
    closedir(listing);
}

std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The fields of /proc/<pid>/stat after the name, which may hold spaces and
// parentheses of its own: "S 1 ..." for "4711 (a b) S 1 ...".
struct tStatFields {
    std::string name;
    char state = '?';
    pid_t parent = 0;
};

bool readStat(const std::string& path, tStatFields& fields) {
    const std::string line = firstLine(path);
    const size_t open = line.find('(');
    const size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return false;
    }
    fields.name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    return static_cast<bool>(rest >> fields.state >> fields.parent);
}

// A thread or process that has ended but is not yet reaped.
bool ended(char state) {
    return state == 'Z' || state == 'X' || state == 'x';
}

}  // namespace

std::map<pid_t, std::string> currentThreads() {
    std::map<pid_t, std::string> threads;
    forEachNumberedEntry("/proc/self/task", [&threads](long tid) {
        tStatFields fields;
        const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
        if (readStat(path, fields) && !ended(fields.state)) {
            threads[static_cast<pid_t>(tid)] =
                "thread " + std::to_string(tid) + " (" + fields.name + ")";
        }
    });
    return threads;
}

namespace {

// The children of `parent` as its threads' "children" files list them:
// a few reads instead of one per process of the machine. False when the
// kernel has no such files.
bool listChildrenOfThreads(pid_t parent, std::vector<pid_t>& children) {
    const std::string tasks = "/proc/" + std::to_string(parent) + "/task";
    bool listed = false;
    forEachNumberedEntry(tasks, [&](long tid) {
        std::ifstream file(tasks + "/" + std::to_string(tid) + "/children");
        listed = listed || file.is_open();
        pid_t child = 0;
        while (file >> child) {
            children.push_back(child);
        }
    });
    return listed;
}

}  // namespace

std::map<pid_t, std::string> childProcessesOf(pid_t parent) {
    std::vector<pid_t> candidates;
    if (!listChildrenOfThreads(parent, candidates)) {
        forEachNumberedEntry(
            "/proc", [&candidates](long pid) { candidates.push_back(static_cast<pid_t>(pid)); });
    }
    std::map<pid_t, std::string> children;
    for (const pid_t pid : candidates) {
        tStatFields fields;
        if (readStat("/proc/" + std::to_string(pid) + "/stat", fields) && fields.parent == parent) {
            children[pid] = "process " + std::to_string(pid) + " (" + fields.name + ")" +
                            (ended(fields.state) ? ", ended but never waited for" : "");
        }
    }
    return children;
}

std::map<int, std::string> currentDescriptors() {
    std::map<int, std::string> descriptors;
    int listing = -1;
    forEachNumberedEntry(
        "/proc/self/fd",
        [&descriptors, &listing](long descriptor) {
            if (descriptor == listing) {
                return;
            }
            const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
            char target[4096];
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length >= 0) {
                descriptors[static_cast<int>(descriptor)] =
                    "fd " + std::to_string(descriptor) + " -> " +
                    std::string(target, static_cast<size_t>(length));
            }
        },
        &listing);
    return descriptors;
}

tProcessSnapshot takeProcessSnapshot() {
    tProcessSnapshot snapshot;
    snapshot.threads = currentThreads();
    snapshot.descriptors = currentDescriptors();
    snapshot.children = childProcessesOf(getpid());
    return snapshot;
}

namespace {

template <typename Key>
std::map<Key, std::string> added(const std::map<Key, std::string>& before,
                                 const std::map<Key, std::string>& after) {
    std::map<Key, std::string> result;
    for (const auto& [key, description] : after) {
        const auto earlier = before.find(key);
        if (earlier == before.end() || earlier->second != description) {
            result.emplace(key, description);
        }
    }
    return result;
}

}  // namespace

tProcessSnapshot addedSince(const tProcessSnapshot& before, const tProcessSnapshot& after) {
    tProcessSnapshot result;
    result.threads = added(before.threads, after.threads);
    result.descriptors = added(before.descriptors, after.descriptors);
    result.children = added(before.children, after.children);
    return result;
}

bool fileMapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const std::string deleted = path + " (deleted)";
    while (std::getline(maps, line)) {
        // The path is the sixth field and the rest of the line.
        const size_t start = line.find('/');
        if (start == std::string::npos) {
            continue;
        }
        const std::string mapped = line.substr(start);
        if (mapped == path || mapped == deleted) {
            return true;
        }
    }
    return false;
}

}  // namespace nPluginCheck
