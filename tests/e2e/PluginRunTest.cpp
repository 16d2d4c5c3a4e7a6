// A whole run with real plugin libraries, as an administrator meets it: the
// status file after the start pass and after the stop, and the calls the
// plugins received, in order (tests/testplugins writes them to a log).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/DescriptionFile.h"
#include "support/PluginCallLog.h"
#include "support/ServiceEnd.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;
using tCalls = std::vector<std::string>;

const char kHeader[] =
    "ZO-Korvo Remote Configuration and Deployment status\n"
    "Updated: <time>\n";

using zotest::addDescriptions;
using zotest::tDescriptionFile;

// A run of the test variant with the plugins' call log, ended by SIGTERM.
class PluginRun {
  public:
    explicit PluginRun(std::vector<std::string> environment = {})
        : service({}, withLog(std::move(environment))) {}

    // Waits until the status file shows the records of the start pass.
    ::testing::AssertionResult waitForStartPass(const zotest::TestRoot& root,
                                                const std::string& firstBlock) {
        if (zotest::waitForStatusContaining(root, firstBlock + " (depends on ")) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "no start pass in:\n" << root.statusText();
    }

    // Sends SIGTERM and expects the process to end by it.
    void stop() { zotest::stopBySignal(service); }

    // True while the service has the library mapped.
    bool hasMapped(const std::string& path) const {
        return zotest::readFile("/proc/" + std::to_string(service.pid()) + "/maps").find(path) !=
               std::string::npos;
    }

    zotest::tPluginCallLog log;
    zotest::ServiceProcess service;

  private:
    std::vector<std::string> withLog(std::vector<std::string> environment) const {
        environment.push_back(log.environmentEntry());
        return environment;
    }
};

TEST(PluginRun, StatusFileShowsEveryPluginAfterTheStartAndAfterTheStop) {
    zotest::TestRoot root;
    addDescriptions(root,
                    {
                        {"Alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "", "", "1"},
                        {"Beta", kBetaPlugin, "", "", "", "Core, Alpha", "2"},
                        {"Failing", kFailingPlugin, "FailingInit", "FailingStop", "FailingCleanup"},
                        {"Gamma", kGammaPlugin, "GammaInit", "", "", "Missing"},
                        {"Lost", root.root() + "/no-such-plugin.so", "LostInit"},
                        {"NoStop", kSlowPlugin, "SlowInit", "NoSuchStop", "SlowCleanup"},
                        {"Warn", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup"},
                        {"Zero", kGammaPlugin, "", "", "", "", "0"},
                    });
    root.addDescription("broken.ini", "[Service]\n\nName=Broken\n");
    PluginRun run({"ZOSYSAPI_DEPLOYMENT=0"});
    ASSERT_TRUE(run.waitForStartPass(root, "Zero"));
    const std::string plugins =
        "Alpha (depends on )\n"
        "Loaded From: " +
        kAlphaPlugin +
        "\n"
        "Requires: 1\n"
        "\n"
        "Beta (depends on Alpha, Core)\n"
        "Loaded From: " +
        kBetaPlugin +
        "\n"
        "Requires: 2\n"
        "Init Time: 0 ms\n"
        "Init Code: -52002\n"
        "\n"
        "Failing (depends on )\n"
        "Loaded From: " +
        kFailingPlugin +
        "\n"
        "Requires: 1\n"
        "FailingInit Time: 0 ms\n"
        "FailingInit Code: -7\n"
        "\n"
        "Gamma (depends on Missing)\n"
        "Loaded From: " +
        kGammaPlugin +
        "\n"
        "Requires: 1\n"
        "GammaInit Time: 0 ms\n"
        "GammaInit Code: -52006\n"
        "\n"
        "Lost (depends on )\n"
        "Loaded From: " +
        root.root() +
        "/no-such-plugin.so\n"
        "Requires: 1\n"
        "LostInit Time: 0 ms\n"
        "LostInit Code: -52005\n"
        "\n"
        "NoStop (depends on )\n"
        "Loaded From: " +
        kSlowPlugin +
        "\n"
        "Requires: 1\n"
        "SlowInit Time: 0 ms\n"
        "SlowInit Code: -52005\n"
        "\n"
        "Warn (depends on )\n"
        "Loaded From: " +
        kBetaPlugin +
        "\n"
        "Requires: 1\n"
        "BetaInit Time: 0 ms\n"
        "BetaInit Code: 3\n"
        "\n"
        "Zero (depends on )\n"
        "Loaded From: " +
        kGammaPlugin +
        "\n"
        "Requires: 0\n"
        "Init Time: 0 ms\n"
        "Init Code: -52002\n"
        "\n";
    const std::string expected = std::string(kHeader) +
                                 "Allowed: 0xfffffffd\n"
                                 "\n"
                                 "Failed to parse service description file: " +
                                 root.pluginsDirectory() + "/broken.ini\n" + plugins;
    EXPECT_EQ(expected, zotest::normalizeMeasurements(root.statusText()));
    EXPECT_TRUE(run.hasMapped(kAlphaPlugin));
    EXPECT_TRUE(run.hasMapped(kBetaPlugin)) << "Warn's library";
    EXPECT_FALSE(run.hasMapped(kGammaPlugin)) << "refused plugins are never opened";
    EXPECT_FALSE(run.hasMapped(kFailingPlugin)) << "closed after its Initialize failed";
    EXPECT_FALSE(run.hasMapped(kSlowPlugin)) << "closed after a missing entry point";

    run.stop();
    // The default stop and clean-up steps take under 1 ms with code 0, and
    // so do the plugins' own: no block gains a line.
    EXPECT_EQ(expected, zotest::normalizeMeasurements(root.statusText()));
    EXPECT_EQ((tCalls{"alpha Initialize", "failing Initialize", "beta Initialize", "beta Stop",
                      "alpha Stop", "beta Cleanup"}),
              run.log.calls());
}

TEST(PluginRun, StartedPluginsStopInReverseOrderAndTheRefusedAreNeverOpened) {
    zotest::TestRoot root;
    const std::vector<std::pair<const char*, const char*>> refusals = {
        {"needsMissing", "missing"},
        {"needsFailing", "failing"},
        {"needsTwice", "a, a"},
        // Each names the other, so one of them comes later than its dependency.
        {"cycleA", "cycleB"},
        {"cycleB", "cycleA"},
    };
    for (const auto& [name, dependencies] : refusals) {
        addDescriptions(root, {{name, kSlowPlugin, "SlowInit", "SlowStop", "", dependencies}});
    }
    addDescriptions(root,
                    {
                        {"c", kGammaPlugin, "GammaInit", "GammaStop", "GammaCleanup", "b"},
                        {"a", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"},
                        {"b", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup", "a"},
                        {"failing", kFailingPlugin, "FailingInit", "FailingStop", "FailingCleanup"},
                    });
    PluginRun run;
    ASSERT_TRUE(run.waitForStartPass(root, "a"));
    const std::string status = zotest::normalizeMeasurements(root.statusText());
    for (const auto& [name, dependencies] : refusals) {
        const std::string block = std::string(name) + " (depends on " + dependencies +
                                  ")\nLoaded From: " + kSlowPlugin +
                                  "\nRequires: 1\nSlowInit Time: 0 ms\nSlowInit Code: -52006\n\n";
        EXPECT_NE(std::string::npos, status.find(block)) << block << "in:\n" << status;
    }
    EXPECT_FALSE(run.hasMapped(kSlowPlugin));
    run.stop();
    EXPECT_EQ((tCalls{"alpha Initialize", "beta Initialize", "gamma Initialize",
                      "failing Initialize", "gamma Stop", "beta Stop", "alpha Stop",
                      "gamma Cleanup", "beta Cleanup", "alpha Cleanup"}),
              run.log.calls());
}

TEST(PluginRun, PluginWithoutEntryPointNamesRunsOnTheDefaultsAndPausesAreTimed) {
    zotest::TestRoot root;
    addDescriptions(root, {
                              {"plain", kPlainPlugin},
                              {"slow", kSlowPlugin, "", "SlowStop"},
                          });
    PluginRun run;
    ASSERT_TRUE(run.waitForStartPass(root, "plain"));
    EXPECT_TRUE(run.hasMapped(kPlainPlugin));
    EXPECT_TRUE(run.hasMapped(kSlowPlugin));
    run.stop();
    const std::string status = root.statusText();
    EXPECT_EQ(std::string(kHeader) +
                  "Allowed: 0xffffffff\n"
                  "\n"
                  "plain (depends on )\n"
                  "Loaded From: " +
                  kPlainPlugin +
                  "\n"
                  "Requires: 1\n"
                  "\n"
                  "slow (depends on )\n"
                  "Loaded From: " +
                  kSlowPlugin +
                  "\n"
                  "Requires: 1\n"
                  "SlowStop Time: <ms> ms\n"
                  "SlowStop Code: 0\n"
                  "\n",
              std::regex_replace(zotest::normalizeMeasurements(status),
                                 std::regex("SlowStop Time: ([3-9][0-9]|[1-9][0-9]{2,}) ms"),
                                 "SlowStop Time: <ms> ms"))
        << status;
    EXPECT_EQ((tCalls{"slow Stop"}), run.log.calls());
}

TEST(PluginRun, NoCarriageReturnReachesTheStatusFile) {
    zotest::TestRoot root;
    const tDescriptionFile alpha{"alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"};
    root.addDescription("alpha.ini", alpha.text("\r\n"));
    root.addDescription("bro\rken.ini", "[Service]\r\n\r\nName=broken\r\n");
    PluginRun run;
    ASSERT_TRUE(run.waitForStartPass(root, "alpha"));
    run.stop();
    const std::string status = root.statusText();
    EXPECT_EQ(std::string::npos, status.find('\r'));
    EXPECT_EQ(std::string(kHeader) + "Allowed: 0xffffffff\n\n" +
                  "Failed to parse service description file: " + root.pluginsDirectory() +
                  "/bro\\rken.ini\n" + "alpha (depends on )\nLoaded From: " + kAlphaPlugin +
                  "\nRequires: 1\n\n",
              zotest::normalizeMeasurements(status));
}

TEST(PluginRun, MissingStatusDirectoryLeavesTheServiceRunning) {
    zotest::TestRoot root;
    zotest::removeTree(root.statusDirectory());
    addDescriptions(root, {{"alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}});
    PluginRun run;
    ASSERT_TRUE(zotest::waitFor([&] { return !run.log.calls().empty(); }));
    run.stop();
    EXPECT_EQ((tCalls{"alpha Initialize", "alpha Stop", "alpha Cleanup"}), run.log.calls());
    EXPECT_FALSE(zotest::fileExists(root.statusDirectory()));
}

TEST(PluginRun, PreviousStatusFileSurvivesFailedWrites) {
    struct tCase {
        const char* what;
        const char* command;  // turns the temporary file's name into a trap
    };
    // A link planted at the temporary file's name is replaced, never
    // followed (SafetyRunTest); a short write is StatusFileFaultTest's.
    const std::vector<tCase> cases = {
        {"temporary file cannot be created", "mkdir '%s'"},
    };
    for (const tCase& test : cases) {
        zotest::TestRoot root;
        zotest::writeFile(root.statusFile(), "previous\n");
        char command[512];
        snprintf(command, sizeof command, test.command, root.temporaryStatusFile().c_str());
        ASSERT_EQ(0, system(command)) << test.what;
        addDescriptions(root, {{"alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}});
        PluginRun run;
        ASSERT_TRUE(zotest::waitFor([&] { return !run.log.calls().empty(); })) << test.what;
        EXPECT_EQ("previous\n", root.statusText()) << test.what;
        run.stop();
        EXPECT_EQ("previous\n", root.statusText()) << test.what;
        EXPECT_EQ((tCalls{"alpha Initialize", "alpha Stop", "alpha Cleanup"}), run.log.calls())
            << test.what;
    }
}

// The order in which the directory lists its entries, as discovery sees it.
std::vector<std::string> listedNames(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = opendir(directory.c_str());
    for (dirent* entry = listing ? readdir(listing) : nullptr; entry != nullptr;
         entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    return names;
}

TEST(PluginRun, UnreadableDescriptionsAreListedInTheOrderOfTheFileList) {
    zotest::TestRoot root;
    for (const char* name : {"one", "two", "three", "four", "five"}) {
        root.addDescription(std::string(name) + ".ini",
                            "[Service]\nName=" + std::string(name) + "\n# not a comment\n");
    }
    addDescriptions(root, {{"alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}});
    PluginRun run;
    ASSERT_TRUE(run.waitForStartPass(root, "alpha"));
    std::string messages;
    for (const std::string& name : listedNames(root.pluginsDirectory())) {
        if (name != "alpha.ini") {
            messages += "Failed to parse service description file: " + root.pluginsDirectory() +
                        "/" + name + "\n";
        }
    }
    EXPECT_EQ(std::string(kHeader) + "Allowed: 0xffffffff\n\n" + messages +
                  "alpha (depends on )\nLoaded From: " + kAlphaPlugin + "\nRequires: 1\n\n",
              zotest::normalizeMeasurements(root.statusText()));
    run.stop();
}

// The block of one plugin in the status text, up to its closing empty line.
std::string blockOf(const std::string& statusText, const std::string& name) {
    const size_t start = statusText.find(name + " (depends on ");
    if (start == std::string::npos) {
        return "";
    }
    return statusText.substr(start, statusText.find("\n\n", start) + 2 - start);
}

// Whatever a plugin throws, an exception class of its own included (its type
// information and destructor lie in its library alone), fails that one step:
// the other plugins start, stop and clean up as usual, and the service still
// ends by the signal. Only what is no standard exception adds a line.
TEST(PluginRun, PluginExceptionFailsOnlyTheStepThatThrewIt) {
    const std::string throwingPlugin = ZO_TEST_PLUGIN_throwing;
    struct tCase {
        const char* what;
        tDescriptionFile thrower;
        const char* throwerLines;  // its step lines after the stop
        bool unknown;              // no standard exception
        tCalls calls;
    };
    const tCalls initializeThrew = {"alpha Initialize", "beta Initialize", "beta Stop",
                                    "alpha Stop",       "beta Cleanup",    "alpha Cleanup"};
    const tCalls ownInitializeThrew = {"alpha Initialize", "thrower Initialize", "beta Initialize",
                                       "beta Stop",        "alpha Stop",         "beta Cleanup",
                                       "alpha Cleanup"};
    const tCalls laterStepThrew = {"alpha Initialize", "thrower Initialize", "gamma Initialize",
                                   "beta Initialize",  "beta Stop",          "gamma Stop",
                                   "thrower Stop",     "alpha Stop",         "beta Cleanup",
                                   "gamma Cleanup",    "thrower Cleanup",    "alpha Cleanup"};
    const std::string quietInit = "ThrowingQuietInit";
    const std::string quietStop = "ThrowingQuietStop";
    const std::string quietCleanup = "ThrowingQuietCleanup";
    const std::vector<tCase> cases = {
        {"an int from Initialize",
         {"Thrower", throwingPlugin, "ThrowingInit", "ThrowingStop"},
         "ThrowingInit Time: 0 ms\nThrowingInit Code: -52003\n",
         true,
         initializeThrew},
        {"an int from Stop",
         {"Thrower", throwingPlugin, "", "ThrowingStop"},
         "ThrowingStop Time: 0 ms\nThrowingStop Code: -52003\n",
         true,
         {"alpha Initialize", "gamma Initialize", "beta Initialize", "beta Stop", "gamma Stop",
          "alpha Stop", "beta Cleanup", "gamma Cleanup", "alpha Cleanup"}},
        {"its own std::runtime_error from Initialize",
         {"Thrower", throwingPlugin, "ThrowingFaultInit", quietStop, quietCleanup},
         "ThrowingFaultInit Time: 0 ms\nThrowingFaultInit Code: -52003\n",
         false,
         ownInitializeThrew},
        {"its own non-standard class from Initialize",
         {"Thrower", throwingPlugin, "ThrowingOddityInit", quietStop, quietCleanup},
         "ThrowingOddityInit Time: 0 ms\nThrowingOddityInit Code: -52003\n",
         true,
         ownInitializeThrew},
        {"its own std::runtime_error from Stop",
         {"Thrower", throwingPlugin, quietInit, "ThrowingFaultStop", quietCleanup},
         "ThrowingFaultStop Time: 0 ms\nThrowingFaultStop Code: -52003\n",
         false,
         laterStepThrew},
        {"its own non-standard class from Stop",
         {"Thrower", throwingPlugin, quietInit, "ThrowingOddityStop", quietCleanup},
         "ThrowingOddityStop Time: 0 ms\nThrowingOddityStop Code: -52003\n",
         true,
         laterStepThrew},
        {"its own std::runtime_error from Cleanup",
         {"Thrower", throwingPlugin, quietInit, quietStop, "ThrowingFaultCleanup"},
         "ThrowingFaultCleanup Time: 0 ms\nThrowingFaultCleanup Code: -52003\n",
         false,
         laterStepThrew},
        {"its own non-standard class from Cleanup",
         {"Thrower", throwingPlugin, quietInit, quietStop, "ThrowingOddityCleanup"},
         "ThrowingOddityCleanup Time: 0 ms\nThrowingOddityCleanup Code: -52003\n",
         true,
         laterStepThrew},
    };
    for (const tCase& test : cases) {
        zotest::TestRoot root;
        addDescriptions(root, {
                                  {"Alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"},
                                  test.thrower,
                                  {"Dependent", kGammaPlugin, "GammaInit", "GammaStop",
                                   "GammaCleanup", "Thrower"},
                                  {"Zeta", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup"},
                              });
        PluginRun run;
        ASSERT_TRUE(run.waitForStartPass(root, "Zeta")) << test.what;
        const std::string started = zotest::normalizeMeasurements(root.statusText());
        const std::string& initialize = test.thrower.initialize;
        const bool initializeFailed =
            !initialize.empty() && initialize.find("Quiet") == std::string::npos;
        EXPECT_EQ(initializeFailed && test.unknown,
                  started.find("Unknown exception from plugin: Thrower\n") != std::string::npos)
            << test.what << ":\n"
            << started;
        EXPECT_EQ(
            initializeFailed,
            blockOf(started, "Dependent").find("GammaInit Code: -52006\n") != std::string::npos)
            << test.what << ": the thrower's dependent is refused only when it did not start";
        EXPECT_NE(std::string::npos, blockOf(started, "Zeta").find("BetaInit Code: 3\n"))
            << test.what << ": the plugin after the thrower starts";
        EXPECT_EQ(!initializeFailed, run.hasMapped(throwingPlugin))
            << test.what << ": closed once its Initialize failed";
        run.stop();
        const std::string stopped = zotest::normalizeMeasurements(root.statusText());
        // Unwinding may take long under valgrind: only the code is compared.
        const std::regex anyTime("Time: [0-9]+ ms");
        const std::string throwerBlock = "Thrower (depends on )\nLoaded From: " + throwingPlugin +
                                         "\nRequires: 1\n" + test.throwerLines + "\n";
        EXPECT_EQ(std::regex_replace(throwerBlock, anyTime, "Time: <ms> ms"),
                  std::regex_replace(blockOf(stopped, "Thrower"), anyTime, "Time: <ms> ms"))
            << test.what;
        const size_t line = stopped.find("Unknown exception from plugin: Thrower\n");
        EXPECT_EQ(test.unknown, line != std::string::npos) << test.what << ":\n" << stopped;
        EXPECT_TRUE(line == std::string::npos ||
                    stopped.find("Unknown exception", line + 1) == std::string::npos)
            << test.what << ": one line per step that threw";
        EXPECT_EQ(test.calls, run.log.calls()) << test.what;
    }
}

}  // namespace
