// The checks across the accepted description files: what no single file
// shows, but what makes the start pass refuse plugins or start the wrong one.
//
// Findings: two files that describe plugins of the same name; a dependency
// that no plugin of the start order is named after; a plugin that names
// itself; a dependency named twice in one description; plugins that depend
// on one another in a cycle. Names match as the plugin manager matches them:
// byte for byte. The checks run over the predicted start pass, so that every
// code a finding names is the one the prediction (and the service) gives the
// plugin: the admission test comes before the dependencies, so a plugin that
// fails it is refused with -52002 whatever its dependencies are.
// Stateless and safe on any thread; only std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_CROSSFILECHECK_H
#define ZOKORVO_PLUGINCHECK_CROSSFILECHECK_H

#include <vector>

#include "CheckReport.h"

namespace nPluginCheck {

std::vector<tFinding> checkAcrossFiles(const std::vector<tStartPrediction>& startOrder);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_CROSSFILECHECK_H
