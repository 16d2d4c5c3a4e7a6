#include "support/PluginCallLog.h"

#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "support/ServiceProcess.h"

namespace zotest {
namespace {

constexpr char kLogVariable[] = "ZO_TEST_PLUGIN_LOG";

}  // namespace

tPluginCallLog::tPluginCallLog()
    : path(std::string(ZO_TEST_BINARY_DIR) + "/calls." + std::to_string(getpid()) + ".log") {
    unlink(path.c_str());
}

tPluginCallLog::~tPluginCallLog() {
    if (exported) {
        unsetenv(kLogVariable);
    }
    unlink(path.c_str());
}

std::string tPluginCallLog::environmentEntry() const {
    return std::string(kLogVariable) + "=" + path;
}

void tPluginCallLog::exportToThisProcess() {
    setenv(kLogVariable, path.c_str(), 1);
    exported = true;
}

std::vector<std::string> tPluginCallLog::calls() const {
    std::istringstream text(readFile(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace zotest
