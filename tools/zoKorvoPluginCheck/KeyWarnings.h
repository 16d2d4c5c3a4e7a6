// The warnings about one description file: what the service accepts without
// a word but is almost always a mistake. Keys outside [Service] or unknown in
// it, single quotes, repeated keys (from the walk's key lines); no [Service],
// no Name or Path, a suspicious Requires, a relative Path (from what the
// service's parser read).
//
// Stateless and safe on any thread; only std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_KEYWARNINGS_H
#define ZOKORVO_PLUGINCHECK_KEYWARNINGS_H

#include <string>

#include "CheckReport.h"
#include "LineWalk.h"

namespace nPluginCheck {

// Adds to report.warnings; the description warnings only for an accepted file.
void warnAboutKeys(const std::string& path, const tLineWalk& walk, tFileReport& report);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_KEYWARNINGS_H
