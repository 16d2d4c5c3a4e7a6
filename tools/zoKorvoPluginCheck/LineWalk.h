// The walk over one description file with the INI reader's own pieces:
// iniOpenFile, IniLineReader with its byte-order-mark check, and iniClassifyLine, with
// the service's parse flags. It sees the lines and line numbers the parser
// sees, names every line the parser counts as an error, and keeps the key
// lines with the section they stand in, for the warnings.
//
// Stateless and safe on any thread. Failures to read the file become
// findings; only std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_LINEWALK_H
#define ZOKORVO_PLUGINCHECK_LINEWALK_H

#include <cstdint>
#include <string>
#include <vector>

#include "CheckReport.h"

namespace nPluginCheck {

// Where a key line stands; only keys in [Service] are read.
enum class tPlace { beforeAnySection, service, otherSection };

// A key line as the reader keeps it, and where it stands.
struct tKeyLine {
    int32_t line;
    tPlace place;
    std::string section;
    std::string name;
    std::string value;
};

// What the walk found: the section it stands in, every key line, and the
// number of the last line read.
struct tLineWalk {
    tPlace place = tPlace::beforeAnySection;
    std::string section;
    std::vector<tKeyLine> keys;
    int32_t lastLine = 0;
};

// Names compared as the INI reader compares them: without regard to letter
// case or surrounding white space.
bool sameIniName(const std::string& left, const char* right);

// Adds the file's error lines and reading failures to report.errors and
// fills `walk`.
void walkLines(const std::string& path, tLineWalk& walk, tFileReport& report);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_LINEWALK_H
