// The plugin manager's step observer: what it is told, in which order, and
// what the record holds when it is told, over real test plugins.
#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/LifecycleSupport.h"
#include "support/TestPlugins.h"
#include "plugins/tPluginManager.h"

namespace {

using namespace zotest::plugins;
using zotest::describePlugin;

// Writes every event as "<event> <plugin> <step>", with what the record
// showed at that moment, and "abandoned" when the start pass is given up.
class tEventLog : public tPluginStepObserver {
  public:
    void stepBegins(const tPluginRecord& record, tPluginStep step) noexcept override {
        add("begins", record, step);
    }
    void stepRaised(const tPluginRecord& record, tPluginStep step) noexcept override {
        std::string what = "not a standard exception";
        try {
            throw;
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {
        }
        add("raised", record, step,
            what.find("device went away") != std::string::npos ? " (the plugin's own)"
                                                               : " (the service's own)");
    }
    void stepEnded(const tPluginRecord& record, tPluginStep step) noexcept override {
        const int32_t code = step == tPluginStep::initialize ? record.initializeCode
                             : step == tPluginStep::stop     ? record.stopCode
                                                             : record.cleanupCode;
        add("ended", record, step,
            " code " + std::to_string(code) +
                (record.library.library.isLoaded() ? ", loaded" : ", closed"));
    }
    // Only an error outside the plugins' code abandons a pass: never a
    // plugin's failure, however it fails.
    void passAbandoned() noexcept override { events.emplace_back("abandoned"); }

    std::vector<std::string> events;

  private:
    void add(const char* event, const tPluginRecord& record, tPluginStep step,
             const std::string& detail = "") {
        events.push_back(std::string(event) + " " + record.description.name + " " +
                         pluginStepName(step) + detail);
    }
};

TEST(PluginStepObserver, IsToldEachStepInOrderWithTheRecordAsItThenStands) {
    zotest::tLocalCallLog log;
    tPluginManager manager;
    tEventLog observer;
    manager.setStepObserver(&observer);
    manager.startPlugins(
        {describePlugin("alpha", kAlphaPlugin, "AlphaInit"),
         describePlugin("missing", "/nonexistent/libnone.so"),
         describePlugin("thrower", ZO_TEST_PLUGIN_throwing, "", "ThrowingStandardStop")},
        0xFFFFFFFF);
    manager.stopPlugins();
    manager.cleanupPlugins();
    EXPECT_EQ((std::vector<std::string>{
                  "begins alpha Initialize",
                  "ended alpha Initialize code 0, loaded",
                  "begins missing Initialize",
                  "raised missing Initialize (the service's own)",
                  "ended missing Initialize code -52005, closed",
                  "begins thrower Initialize",
                  "ended thrower Initialize code 0, loaded",
                  "begins thrower Stop",
                  "raised thrower Stop (the plugin's own)",
                  "ended thrower Stop code -52003, loaded",
                  "begins missing Stop",
                  "ended missing Stop code 0, closed",
                  "begins alpha Stop",
                  "ended alpha Stop code 0, loaded",
                  "begins thrower Cleanup",
                  "ended thrower Cleanup code 0, closed",
                  "begins missing Cleanup",
                  "ended missing Cleanup code 0, closed",
                  "begins alpha Cleanup",
                  "ended alpha Cleanup code 0, closed",
              }),
              observer.events);
}

}  // namespace
