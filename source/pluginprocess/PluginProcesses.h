// The service's side of plugins in processes of their own: enable() hands
// the plugin manager the factory of tIsolatedPlugin (IsolatedPlugin.h) that
// starts each such plugin's process with the host executable, runs its steps
// over the channel and watches it between steps.
//
// Each process is spawned by the thread that runs the plugin steps, the
// service's main thread: its parent-death signal (PR_SET_PDEATHSIG) fires
// when the spawning thread ends, not the process, and the main thread lives
// exactly as long as the service. Spawning from a thread that ends earlier
// would kill every plugin process with it.
//
// Threads: enable() and disable() on the main thread, before the first and
// after the last plugin step; `processEnded` is called from the watching
// thread whenever a plugin's process ends, in a step or not.
#ifndef ZOKORVO_PLUGINPROCESSES_H
#define ZOKORVO_PLUGINPROCESSES_H

#include <functional>
#include <string>

namespace nPluginProcesses {

struct tSettings {
    // The host executable; a leading "$ORIGIN/" is the directory of this
    // process's own executable, as for the loader.
    std::string hostPath;
    // The journal's native socket, where each plugin's output goes as
    // records under its name; empty when the service has no journal: the
    // plugins' output then goes to the service's standard error.
    std::string journalSocket;
    // Told, from another thread, whenever a plugin's process ends; empty
    // (and no journal): no watching thread at all.
    std::function<void()> processEnded;
};

void enable(tSettings settings);
// Stops the watching thread; a plugin process still running is not touched.
void disable();

// The host executable as the path resolves now.
std::string hostExecutable(const std::string& hostPath);

}  // namespace nPluginProcesses

#endif  // ZOKORVO_PLUGINPROCESSES_H
