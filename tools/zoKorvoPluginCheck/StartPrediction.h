// The prediction of the service's start pass: the start order and, for each
// plugin, whether it would be admitted, and why not.
//
// Nothing here decides anew: the order is nPluginData::orderDescriptions,
// admission is the manager's pluginAdmitted and its tStartedNames, a library
// path is judged by the loader's tPathSafety::checkLibrary (an unsafe one is
// refused with -52026 and never opened), and
// --load opens libraries through the service's own tSharedLibrary with the
// service's flags. A plugin without a "Path" fails with -52005 with or
// without --load, as the service fails it without asking the loader.
// No entry point is called here (the trial calls them), so a plugin whose
// Initialize would fail is predicted as admitted, and its dependents with it.
//
// --load runs in the checker's environment (working directory,
// LD_LIBRARY_PATH, user), not the service's: a relative or bare "Path" gets
// a note saying so.
//
// Opening a library runs its constructors: the checker opens them in child
// processes (predictStartPassOpeningInChildren). Libraries opened for the
// prediction stay open until the pass ends, as the service keeps earlier
// plugins' symbols available to later ones.
// Not thread-safe (the dynamic loader's error text is per process); only
// std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_STARTPREDICTION_H
#define ZOKORVO_PLUGINCHECK_STARTPREDICTION_H

#include <cstdint>
#include <string>
#include <vector>

#include "CheckReport.h"

namespace nPluginCheck {

// The descriptions in the service's start order, each with its file. Equal
// descriptions from different files keep the order in which they were given.
std::vector<tPlacedDescription> inStartOrder(const std::vector<tPlacedDescription>& plugins);

// What the start pass would do with each plugin of `ordered` (in start
// order) under `capabilityMask`. With `loadLibraries`, an admitted plugin
// whose library or named entry points cannot be bound fails with -52005.
std::vector<tStartPrediction> predictStartPass(const std::vector<tPlacedDescription>& ordered,
                                               uint32_t capabilityMask, bool loadLibraries);

// The same with libraries opened, in child processes of the checker's, so
// that a library whose constructors crash, hang or end the process does not
// take the checker with it: such a plugin fails to load with what happened
// (a hang: still opening after `timeoutSeconds`), and a new child goes on
// with the others, its dependents refused. Throws std::system_error when no
// child can be started.
std::vector<tStartPrediction> predictStartPassOpeningInChildren(
    const std::vector<tPlacedDescription>& ordered, uint32_t capabilityMask, double timeoutSeconds);

// What the prediction says of a plugin, after its name: "is admitted",
// "is refused (-52002)", "fails to load (-52005)".
std::string outcomeOf(const tStartPrediction& prediction);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_STARTPREDICTION_H
