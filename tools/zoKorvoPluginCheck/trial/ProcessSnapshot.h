// What this process holds at one moment, as /proc shows it: its threads, its
// open file descriptors, the processes whose parent it is, and whether a
// file is mapped into its memory. The trial's child takes one snapshot
// before a plugin's Initialize and compares it with one after the plugin's
// Cleanup and close, to tell what the plugin left behind.
//
// Value types and free functions; reading /proc allocates but keeps no
// descriptor open beyond the call. Safe to call from any thread (each call
// reads /proc anew). An entry that vanishes while it is read is left out; a
// /proc that cannot be read gives an empty snapshot.
#ifndef ZOKORVO_PLUGINCHECK_PROCESSSNAPSHOT_H
#define ZOKORVO_PLUGINCHECK_PROCESSSNAPSHOT_H

#include <sys/types.h>

#include <map>
#include <string>

namespace nPluginCheck {

struct tProcessSnapshot {
    // Each entry, by its number, described for a person.
    std::map<pid_t, std::string> threads;    // "thread 4711 (worker)"
    std::map<int, std::string> descriptors;  // "fd 7 -> /tmp/log"
    std::map<pid_t, std::string> children;   // "process 4712 (sleep)"
};

tProcessSnapshot takeProcessSnapshot();

// The entries of `after` that `before` does not have under the same number
// with the same description.
tProcessSnapshot addedSince(const tProcessSnapshot& before, const tProcessSnapshot& after);

// The threads of this process now, as in a snapshot; threads that have
// ended but are not yet gone are left out.
std::map<pid_t, std::string> currentThreads();

// The open file descriptors of this process now, as in a snapshot.
std::map<int, std::string> currentDescriptors();

// The processes whose parent is process `parent`, as in a snapshot.
std::map<pid_t, std::string> childProcessesOf(pid_t parent);

// True when the file at the canonical path `path` is mapped into this
// process's memory (a replaced file shows as "<path> (deleted)").
bool fileMapped(const std::string& path);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_PROCESSSNAPSHOT_H
