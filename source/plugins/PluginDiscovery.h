// nPluginData's discovery: finding the plugin description files.
//
// Discovery lists the regular files named *.ini in the plugins directory
// (the shared-data directory joined with KorvoRemoteService and plugins);
// it only names files and opens none (PluginDescriptionFile.h reads them).
// Keeps no state between calls; meant for the run-cycle thread.
// Failures are exceptions: zoerr::Exception with -52003 for a plugins
// directory that is missing or not a directory, boost's filesystem_error for
// every other file-system failure of discovery (the paths appended so far
// stay in the output).
#ifndef ZOKORVO_PLUGINDISCOVERY_H
#define ZOKORVO_PLUGINDISCOVERY_H

#include <boost/filesystem/path.hpp>
#include <string>
#include <vector>

#include "safety/PathSafety.h"

namespace nPluginData {

// The shared-data directory joined with KorvoRemoteService and plugins;
// throws what zosysq::getShareDirectory throws. A pointer file that is not
// safe (PathSafety.h) counts as unreadable: the default directory is used.
boost::filesystem::path getPluginsDirectory();

// The verdict on the plugins directory and every directory above it: one
// that is not safe is not listed, since another user could choose what it
// holds.
tPathVerdict checkPluginsDirectory(const boost::filesystem::path& directory);

// Appends the full path of every description file in the plugins directory,
// in the order the directory listing returns them.
void getDescriptionFiles(std::vector<std::string>& files);

// Appends directory/name for every regular file (links followed) directly
// in `directory` whose extension, from the name's last '.', equals
// `extension` byte for byte.
void findFilesByExtension(const boost::filesystem::path& directory, const std::string& extension,
                          std::vector<std::string>& files);

}  // namespace nPluginData

#endif  // ZOKORVO_PLUGINDISCOVERY_H
