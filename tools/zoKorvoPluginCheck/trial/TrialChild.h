// The child process of the trial: it does what the service's start pass,
// running, stop and clean-up do with its plan of plugins, through the
// service's own tPluginManager and tPluginLibrary, and tells its parent over
// its report channel (ReportChannel.h, TrialEvents.h) when each step begins
// and ends, what each plugin raised, what each step did to the descriptors
// and signals the service relies on (SignalWatch.h), which plugin's code
// faulted, and what each plugin left behind after its Cleanup and close.
//
// It runs in a process group of its own, collects orphaned descendants as
// their subreaper, and dies with its parent. Its standard output goes to
// the checker's standard error, so a plugin's prints never mix with the
// report. It holds two descriptors at the lowest free numbers, as the service
// holds its own there, so that a plugin that closes descriptors it does not
// own is told. It never writes the service's status file. When a plugin leaves
// a thread running after its close the child ends at once, as that thread
// would take down the service: the remaining plugins are tried anew.
#ifndef ZOKORVO_PLUGINCHECK_TRIALCHILD_H
#define ZOKORVO_PLUGINCHECK_TRIALCHILD_H

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/tPluginDescription.h"

namespace nPluginCheck {

// Runs the trial of `plan` (in start order) under `capabilityMask`, with a
// running phase of `runForSeconds` between the start and the stop, sends its
// events framed with `token` over the pipe's write end `eventPipe`, and ends
// the process; with kChannelLostExitStatus when a plugin took the channel.
[[noreturn]] void runTrialChild(int eventPipe, const std::string& token,
                                std::vector<tPluginDescription> plan, uint32_t capabilityMask,
                                double runForSeconds);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_TRIALCHILD_H
