// The trial (--trial): the admitted plugins' own entry points run in child
// processes of the checker, the way the service would run them, while the
// checker watches.
//
// One child (TrialChild) opens, binds and initialises every plugin in start
// order, stops them all in reverse, and cleans each up and closes its
// library in reverse, through the service's own manager and loader. The
// parent reads the child's events and watches the clock: a step that
// outlasts the step timeout ends the child (a hang); a child that dies
// mid-step is a crash of that step's plugin. Either way the trial goes on
// in a new child with the plugins whose clean-up had not yet ended, less
// the one that crashed or hung; its dependents are then refused, and the
// report says so. Plugins tried again are reported from their last child.
//
// The checker becomes the subreaper of its descendants for the trial, and
// ends every process a child leaves behind. Nothing here touches the
// service's status file or fixed paths. Not thread-safe; failures to start a
// child raise std::runtime_error.
#ifndef ZOKORVO_PLUGINCHECK_TRIAL_H
#define ZOKORVO_PLUGINCHECK_TRIAL_H

#include <cstdint>
#include <vector>

#include "CheckReport.h"
#include "TrialReport.h"

namespace nPluginCheck {

// The plugins of `startOrder` the prediction admits, in start order.
std::vector<tPlacedDescription> admittedPlugins(const std::vector<tStartPrediction>& startOrder);

tTrialReport runTrial(const std::vector<tPlacedDescription>& plugins, uint32_t capabilityMask,
                      double stepTimeoutSeconds);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_TRIAL_H
