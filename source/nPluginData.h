// nPluginData: finding the plugin description files and reading each into a
// tPluginDescription.
//
// Discovery lists the regular files named *.ini in the plugins directory
// (the shared-data directory joined with KorvoRemoteService and plugins);
// it only names files and opens none. The description parser reads one file
// with the INI reader. Neither keeps state between calls; both are meant for
// the run-cycle thread.
// Failures are exceptions: zoerr::Exception with -52003 for a plugins
// directory that is missing or not a directory, boost's filesystem_error for
// every other file-system failure of discovery (the paths appended so far
// stay in the output); zoerr::Exception with the INI reader's own code or
// -52005, or std::bad_alloc, for a description file, whose output record is
// then left exactly as it was.
#ifndef ZOKORVO_NPLUGINDATA_H
#define ZOKORVO_NPLUGINDATA_H

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "PathSafety.h"
#include "tPluginDescription.h"

struct IniFile;

namespace nPluginData {

// The INI reader's parse flags for description files: an empty value counts
// as given (Requires= means the default), and a value in double quotes loses
// them.
extern const uint32_t kDescriptionFileFlags;

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

// Replaces all fields of `description` with what the file at `path` says.
// One line anywhere that is neither a comment, a section header nor a key
// line rejects the whole file.
void parseDescriptionFile(const std::string& path, tPluginDescription& description);

// The service's way to read a description: opens `path` through
// `pathSafety`, which judges the very file opened, reads it once, and parses
// those bytes into `description`, with its `file` and the fingerprint of the
// bytes (FileIdentity.h). A file that is not safe gives that verdict and
// leaves `description` as it was; a file that cannot be opened or read
// throws zoerr::Exception with the INI reader's code, as does one the parser
// rejects (see parseDescriptionFile).
tPathVerdict readDescriptionFile(tPathSafety& pathSafety, const std::string& path,
                                 tPluginDescription& description);

// The value of `key` in section "Service", or the empty text when absent.
void readServiceValue(IniFile& file, const char* key, std::string& value);

}  // namespace nPluginData

#endif  // ZOKORVO_NPLUGINDATA_H
