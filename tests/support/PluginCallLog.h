// Test support: the call log of the test plugins (tests/testplugins).
//
// Every entry point of a test plugin appends "<plugin> <entry>" to the file
// that ZO_TEST_PLUGIN_LOG names. tPluginCallLog owns a fresh, empty log file
// for its lifetime; hand environmentEntry() to a service process, or call
// exportToThisProcess() for plugins loaded by the test itself (the variable
// is then removed again by the destructor). Not thread-safe.
#ifndef ZO_TESTS_PLUGINCALLLOG_H
#define ZO_TESTS_PLUGINCALLLOG_H

#include <string>
#include <vector>

namespace zotest {

class tPluginCallLog {
  public:
    tPluginCallLog();
    ~tPluginCallLog();
    tPluginCallLog(const tPluginCallLog&) = delete;
    tPluginCallLog& operator=(const tPluginCallLog&) = delete;

    // "ZO_TEST_PLUGIN_LOG=<path>", for ServiceProcess's environment.
    std::string environmentEntry() const;
    void exportToThisProcess();

    // The lines written so far, in call order.
    std::vector<std::string> calls() const;

  private:
    std::string path;
    bool exported = false;
};

}  // namespace zotest

#endif  // ZO_TESTS_PLUGINCALLLOG_H
