// What the trial child watches of signals around each plugin step, and how
// it sees a crash whoever's code caused it.
//
// The service learns of its stop from SIGINT and SIGTERM: a plugin that
// blocks them on the thread that calls its entry points, or takes them over
// with a handler of its own, keeps the service from ever stopping. A
// handler left pointing into a closed library crashes the process when its
// signal comes. takeSignalState() before a step and signalChanges() after it
// name these, for the plugin whose step it was.
//
// The fault reporter is the child's own handler for SIGSEGV, SIGBUS, SIGFPE
// and SIGILL: it tells the parent which plugin's library the faulting code
// lies in, then lets the signal end the process. It takes no lock, so it
// compares with the address ranges notePluginLibrary() published. A plugin that installs a
// handler of its own for one of them is told by signalChanges(), which puts
// the reporter back, so that no plugin's handler can hide another's crash.
//
// Call everything but the reporter itself from the child's main thread; the
// reporter runs on whichever thread faults and only reads what
// notePluginLibrary() published. Nothing here throws but std::bad_alloc.
#ifndef ZOKORVO_PLUGINCHECK_SIGNALWATCH_H
#define ZOKORVO_PLUGINCHECK_SIGNALWATCH_H

#include <signal.h>

#include <cstddef>
#include <string>
#include <vector>

#include "ReportChannel.h"

namespace nPluginCheck {

struct tSignalState {
    sigset_t blocked;                // of the calling thread
    struct sigaction actions[NSIG];  // index 0 unused
};

// "SIGSEGV", or the number alone for a signal without a name.
std::string signalName(int signal);

tSignalState takeSignalState();

// What a step changed between `before` and `after`, for a person; puts the
// fault reporter back where the step replaced it.
std::vector<std::string> signalChanges(const tSignalState& before, const tSignalState& after);

// Handlers that point into no loaded library any more, for a person; each
// is set back to the default action, so that its signal cannot jump into
// unmapped memory later and be blamed on another plugin.
std::vector<std::string> handlersIntoClosedLibraries();

// Installs the fault reporter for `plugins` plugins, reporting over
// `channel`, which must outlive the process's use of it.
void installFaultReporter(tReportChannel& channel, size_t plugins);
// The plugin at `plugin` has its library, `file`, loaded: `addressInside` is
// any address in it. A fault in that library is then blamed on it, until
// forgetPluginLibrary() says the library was closed.
void notePluginLibrary(size_t plugin, const void* addressInside, const std::string& file);
void forgetPluginLibrary(size_t plugin);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_SIGNALWATCH_H
