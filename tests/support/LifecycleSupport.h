// Test support for the plugin lifecycle: the call log of the test plugins
// loaded by the test itself, a check whether a library is mapped into this
// process, and descriptions. One log at a time per process; not thread-safe.
#ifndef ZO_TESTS_LIFECYCLESUPPORT_H
#define ZO_TESTS_LIFECYCLESUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/PluginCallLog.h"
#include "plugins/tPluginDescription.h"

namespace zotest {

// A call log exported to this process for the plugins the test loads.
class tLocalCallLog : public tPluginCallLog {
  public:
    tLocalCallLog() { exportToThisProcess(); }
};

// True while the library at `path` is loaded in this process; asks the
// loader without loading it and without running any of its code.
bool isLibraryLoaded(const std::string& path);

tPluginDescription describePlugin(const std::string& name, const std::string& path,
                                  const std::string& initializeSymbol = "",
                                  const std::string& stopSymbol = "",
                                  const std::string& cleanupSymbol = "",
                                  std::vector<std::string> dependencies = {},
                                  uint32_t requires = 1);

}  // namespace zotest

#endif  // ZO_TESTS_LIFECYCLESUPPORT_H
