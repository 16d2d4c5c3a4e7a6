// Test support: writing plugin description files for the service under
// test. One tDescriptionFile names every key, an empty value included (an
// empty Requires reads as 1, an empty entry point name as the built-in one).
// Not thread-safe.
#ifndef ZO_TESTS_DESCRIPTIONFILE_H
#define ZO_TESTS_DESCRIPTIONFILE_H

#include <string>
#include <vector>

#include "support/ServiceProcess.h"

namespace zotest {

struct tDescriptionFile {
    std::string name;
    std::string path;
    std::string initialize = "";
    std::string stop = "";
    std::string cleanup = "";
    std::string dependencies = "";
    std::string requires = "";

    std::string text(const std::string& lineEnd = "\n") const {
        return "[Service]" + lineEnd + "Name=" + name + lineEnd + "Dependencies=" + dependencies +
               lineEnd + "Path=" + path + lineEnd + "Requires=" + requires + lineEnd +
               "Initialize=" + initialize + lineEnd + "Stop=" + stop + lineEnd +
               "Cleanup=" + cleanup + lineEnd;
    }
};

// Writes "<name>.ini" for each file into the plugins directory.
inline void addDescriptions(const TestRoot& root, const std::vector<tDescriptionFile>& files) {
    for (const tDescriptionFile& file : files) {
        root.addDescription(file.name + ".ini", file.text());
    }
}

}  // namespace zotest

#endif  // ZO_TESTS_DESCRIPTIONFILE_H
