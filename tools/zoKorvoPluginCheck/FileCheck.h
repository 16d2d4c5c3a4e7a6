// The check of one plugin description file.
//
// The verdict is the service's own: nPluginData::parseDescriptionFile either
// accepts the file or raises the code the service would see. The reasons
// come from a walk over the file with the INI reader's own pieces (file
// opening, byte-order-mark check, line reader, iniClassifyLine), so every
// line number is the one the reader counted. Warnings name what the service
// accepts without a word but is almost always a mistake.
//
// Stateless and safe on any thread (the INI reader keeps no globals).
// A file that is not safe (PathSafety.h) is rejected unread, as the service
// rejects it; `pathSafety` keeps the verdicts on directories between files.
// Failures: everything about the file becomes a finding in the report; only
// std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_FILECHECK_H
#define ZOKORVO_PLUGINCHECK_FILECHECK_H

#include <string>

#include "CheckReport.h"
#include "safety/PathSafety.h"

namespace nPluginCheck {

tFileReport checkDescriptionFile(const std::string& path, tPathSafety& pathSafety);
// The same with verdicts of its own.
tFileReport checkDescriptionFile(const std::string& path);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_FILECHECK_H
