// The checker's prediction of a reload: what the running service would keep,
// stop and start on SIGHUP, and why, from its status file and the plugins
// directory as they are now. The service is never touched.
//
// The JSON status holds what the service compares: each running plugin's
// description file with the fingerprint of its bytes, and the library file
// the loader mapped with its identity. The prediction then compares them
// with the service's own code (FileIdentity.h), plugin by description file,
// as the reload does. Only the text status at hand (no JSON twin), it goes
// by what the text holds: a plugin's entry (its name, dependencies, library
// path, Requires and start code) against the description of the same name,
// and the modification and change times of the description file and the
// library against the time the status was last written; a file written
// after that counts as changed, and file times advance by the kernel's clock
// tick, so a file written within a few milliseconds of the status may be missed.
// Plain functions without state; only std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_RELOADPLAN_H
#define ZOKORVO_PLUGINCHECK_RELOADPLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "CheckReport.h"
#include "safety/FileIdentity.h"

namespace nPluginCheck {

// A plugin block of the status file, or a plugin entry of its JSON twin.
struct tStatusBlock {
    std::string name;
    std::string dependencies;  // as the block shows them: "A, B"
    std::string path;
    std::string requires;
    // The code of the block's first step, the start step; 0 when it shows none.
    int32_t initializeCode = 0;
    // Only from the JSON status: the description file and its fingerprint,
    // and the library file as loaded (identity unknown when not running).
    bool compared = false;
    std::string file;
    uint64_t fingerprint = 0;
    std::string loadedFile;
    tFileIdentity loadedIdentity;
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
