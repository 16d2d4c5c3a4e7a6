// The trial (--trial): the admitted plugins' own entry points run in child
// processes of the checker, the way the service would run them, while the
// checker watches.
//
// One child (TrialChild) opens, binds and initialises every plugin in start
// order, lets them run for the running phase, stops them all in reverse,
// and cleans each up and closes its library in reverse, through the
// service's own manager and loader. The parent reads the child's events
// (ReportChannel.h) and watches the clock: a step that outlasts the step
// timeout ends the child (a hang); a child that dies mid-step is a crash of
// that step's plugin, or in the running phase of the plugin whose library
// holds the faulting code. Anything on the channel that is not the child's
// next message is a fault of the plugin whose step was open. Either way the
// trial goes on in a new child with the plugins whose clean-up had not yet
// ended, less the one at fault; its dependents are then refused, and the
// report says so. Every step is reported with the child that ran it.
//
// The checker becomes the subreaper of its descendants for the trial, and
// ends every process a child leaves behind, also when SIGINT or SIGTERM
// interrupts the trial: the report so far is then marked interrupted.
// Nothing here touches the service's status file or fixed paths. Not
// thread-safe; failures to start a child raise std::runtime_error.
#ifndef ZOKORVO_PLUGINCHECK_TRIAL_H
#define ZOKORVO_PLUGINCHECK_TRIAL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CheckReport.h"
#include "TrialReport.h"

namespace nPluginCheck {

// The plugins of `startOrder` the prediction admits, in start order.
std::vector<tPlacedDescription> admittedPlugins(const std::vector<tStartPrediction>& startOrder);

struct tTrialSettings {
    double stepTimeoutSeconds = 10;
    double runForSeconds = 1;  // the running phase
    // Told, for a person, as each plugin's trial ends; may be empty.
    std::function<void(const std::string&)> progress;
};

tTrialReport runTrial(const std::vector<tPlacedDescription>& plugins, uint32_t capabilityMask,
                      const tTrialSettings& settings);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_TRIAL_H
