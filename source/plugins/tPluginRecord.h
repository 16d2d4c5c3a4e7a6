// tPluginRecord is what the plugin manager keeps of one plugin: its
// description, its library binding, and the code and whole-millisecond
// duration of each of its steps (tPluginManager.h runs the steps).
// A plain value: copying or destroying a record never unloads its library.
// Belongs to the thread that runs the passes.
#ifndef ZOKORVO_TPLUGINRECORD_H
#define ZOKORVO_TPLUGINRECORD_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/tPluginDescription.h"
#include "plugins/tPluginLibrary.h"

// What the last reload did with a plugin: nothing (it came from the start
// pass, or no reload has run), kept it running untouched, or ran its start
// step (new, changed, restarted with a dependency, or tried again).
enum class tReloadRole { notInReload, kept, startedByReload };

// An isolated plugin's process as the reports show it: not isolated (none),
// running, waiting to be started again after it ended (restarting), ended
// and left so (ended: Restart=no; givenUp: it ended too often), or stopped
// with the service's stop or a reload.
enum class tProcessState { none, running, restarting, ended, givenUp, stopped };
// "running", "restarting", "ended", "given up", "stopped"; null for none.
const char* processStateName(tProcessState state);

struct tPluginProcessRecord {
    tProcessState state = tProcessState::none;
    pid_t pid = 0;       // of its last process; 0 before the first
    std::string user;    // as the description names it; "" for the service's own
    uint32_t restarts = 0;
    // monotonicNowNs() of each restart within the last minute, oldest first.
    std::vector<uint64_t> recentRestartsNs;
};

struct tPluginRecord {
    tPluginLibrary library;
    tPluginDescription description;
    // The start step's code is the plugin's Initialize result when it
    // started, else the code of the failure; the others are 0 or the code of
    // the error raised by their step.
    int32_t initializeCode = 0;
    int32_t stopCode = 0;
    int32_t cleanupCode = 0;
    uint64_t initializeTimeMs = 0;
    uint64_t stopTimeMs = 0;
    uint64_t cleanupTimeMs = 0;
    tReloadRole reloadRole = tReloadRole::notInReload;
    tPluginProcessRecord process;
};

#endif  // ZOKORVO_TPLUGINRECORD_H
