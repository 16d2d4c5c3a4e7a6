// nPluginData's description files: reading one file with the INI reader
// into a tPluginDescription (PluginDiscovery.h finds the files).
// Keeps no state between calls; meant for the run-cycle thread.
// Failures are exceptions: zoerr::Exception with the INI reader's own code or
// -52005, or std::bad_alloc, for a description file, whose output record is
// then left exactly as it was.
#ifndef ZOKORVO_PLUGINDESCRIPTIONFILE_H
#define ZOKORVO_PLUGINDESCRIPTIONFILE_H

#include <cstdint>
#include <string>

#include "safety/PathSafety.h"
#include "plugins/tPluginDescription.h"

struct IniFile;

namespace nPluginData {

// The INI reader's parse flags for description files: an empty value counts
// as given (Requires= means the default), and a value in double quotes loses
// them.
extern const uint32_t kDescriptionFileFlags;

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

#endif  // ZOKORVO_PLUGINDESCRIPTIONFILE_H
