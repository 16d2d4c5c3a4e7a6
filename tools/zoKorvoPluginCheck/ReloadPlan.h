// The checker's prediction of a reload: what the running service would keep,
// stop and start on SIGHUP, and why, from its status file and the plugins
// directory as they are now. The service is never touched.
//
// The status does not hold what the service compares (the bytes of each
// description file, the identity of each library), so the prediction goes by
// what it does hold: a plugin's entry (its name, dependencies, library path,
// Requires and start code) against the description of the same name, and the
// modification and change times of the description file and the library
// against the time the status was last written. It reads the JSON status
// when there is one it can read, else the text. A file written after
// that counts as changed, as the service would find it (unless its bytes are
// the very same again); file times advance by the kernel's clock tick, so a
// file written within a few milliseconds of the status file may be missed.
// Plain functions without state; only std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_RELOADPLAN_H
#define ZOKORVO_PLUGINCHECK_RELOADPLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "CheckReport.h"

namespace nPluginCheck {

// A plugin block of the status file, or a plugin entry of its JSON twin.
struct tStatusBlock {
    std::string name;
    std::string dependencies;  // as the block shows them: "A, B"
    std::string path;
    std::string requires;
    // The code of the block's first step, the start step; 0 when it shows none.
    int32_t initializeCode = 0;
};

// The plugin blocks of a status text, in their order.
std::vector<tStatusBlock> readStatusBlocks(const std::string& statusText);
// The plugin entries of a JSON status, in their order; false, with nothing
// read, when the text is no JSON status of this checker's schema.
bool readJsonStatusBlocks(const std::string& jsonText, std::vector<tStatusBlock>& blocks);

// The plan as text: one line per plugin, then a summary line. `startOrder`
// is the start pass's prediction for the plugins directory as it is now;
// `statusDirectory` the service's, whose JSON status or status file the plan reads.
std::string renderReloadPlan(const std::string& statusDirectory,
                             const std::vector<tStartPrediction>& startOrder,
                             uint32_t capabilityMask);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_RELOADPLAN_H
