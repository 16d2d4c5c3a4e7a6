// The example plugins of examples/ in the service, with their description
// files as shipped: the status file after the start pass and after the
// stop, and the journal of what the plugins did, for the machine and plugin
// settings that change the outcome.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"

namespace {

const std::string kExampleSources = ZO_EXAMPLE_SOURCE_DIR;
const std::string kExampleLibraries = ZO_EXAMPLE_LIBRARY_DIR;

const char kHeader[] =
    "ZO-Korvo Remote Configuration and Deployment status\n"
    "Updated: <time>\n";

const char kClockBlock[] =
    "Clock (depends on )\n"
    "Loaded From: libzoExampleClock.so\n"
    "Requires: 1\n"
    "\n";

const char kDeployerBlock[] =
    "Deployer (depends on Clock)\n"
    "Loaded From: libzoExampleDeployer.so\n"
    "Requires: 2\n"
    "\n";

const char kGreeterBlockHead[] =
    "Greeter (depends on Clock)\n"
    "Loaded From: libzoExampleGreeter.so\n"
    "Requires: 1\n";

std::string greeterInitialize(int code) {
    return "zoExampleGreeterInitialize Time: 0 ms\n"
           "zoExampleGreeterInitialize Code: " +
           std::to_string(code) + "\n";
}

struct tOutcome {
    std::string statusAfterStart;
    std::string statusAfterStop;
    std::string journal;
    zotest::ProcessEnd end;
};

// Lays the named description files of examples/ into the plugins directory,
// runs the test variant with the example libraries on the loader's path
// until the start pass is over, then stops it with SIGTERM.
tOutcome runExamples(const std::vector<std::string>& descriptions,
                     std::vector<std::string> environment) {
    const zotest::TestRoot root;
    for (const std::string& file : descriptions) {
        root.addDescription(file, zotest::readFile(kExampleSources + "/" + file));
    }
    const std::string journal = root.root() + "/journal";
    environment.push_back("LD_LIBRARY_PATH=" + kExampleLibraries);
    environment.push_back("ZO_EXAMPLE_JOURNAL=" + journal);

    zotest::ServiceProcess service({}, environment);
    tOutcome outcome;
    EXPECT_TRUE(zotest::waitForStatusContaining(root, "Loaded From: "));
    outcome.statusAfterStart = zotest::normalizeMeasurements(root.statusText());
    service.sendSignal(SIGTERM);
    outcome.end = service.wait();
    outcome.statusAfterStop = zotest::normalizeMeasurements(root.statusText());
    outcome.journal = zotest::readFile(journal);
    return outcome;
}

struct tScenario {
    const char* name;
    std::vector<std::string> descriptions;
    std::vector<std::string> environment;
    std::string status;
    std::string journal;
};

const std::vector<std::string> kAllExamples = {"clock.ini", "greeter.ini", "deployer.ini"};

TEST(ExamplePlugins, EachSettingGivesItsStatusAndJournal) {
    if (!ZO_TEST_SYSAPI_STANDIN) {
        GTEST_SKIP() << "the platform's own library decides whether deployment is allowed";
    }
    const std::vector<tScenario> scenarios = {
        {"as scripts/example runs them: the Greeter warns of its default greeting",
         kAllExamples,
         {},
         std::string(kHeader) + "Allowed: 0xffffffff\n\n" + kClockBlock + kDeployerBlock +
             kGreeterBlockHead + greeterInitialize(1) + "\n",
         "Clock: ticking every 100 ms\n"
         "Deployer: remote deployment is allowed\n"
         "Greeter: Hello from the Greeter (the default greeting)\n"
         "Greeter: goodbye\n"
         "Deployer: stopped\n"
         "Clock: stopped\n"
         "Greeter: cleaned up\n"
         "Clock: cleaned up\n"},
        {"a configured greeting: no warning",
         kAllExamples,
         {"ZO_EXAMPLE_GREETING=Good morning"},
         std::string(kHeader) + "Allowed: 0xffffffff\n\n" + kClockBlock + kDeployerBlock +
             kGreeterBlockHead + "\n",
         "Clock: ticking every 100 ms\n"
         "Deployer: remote deployment is allowed\n"
         "Greeter: Good morning\n"
         "Greeter: goodbye\n"
         "Deployer: stopped\n"
         "Clock: stopped\n"
         "Greeter: cleaned up\n"
         "Clock: cleaned up\n"},
        {"deployment forbidden: the Deployer is refused, the others run",
         kAllExamples,
         {"ZOSYSAPI_DEPLOYMENT=0", "ZO_EXAMPLE_GREETING=Hi"},
         std::string(kHeader) + "Allowed: 0xfffffffd\n\n" + kClockBlock +
             "Deployer (depends on Clock)\n"
             "Loaded From: libzoExampleDeployer.so\n"
             "Requires: 2\n"
             "zoExampleDeployerInitialize Time: 0 ms\n"
             "zoExampleDeployerInitialize Code: -52002\n"
             "\n" +
             kGreeterBlockHead + "\n",
         "Clock: ticking every 100 ms\n"
         "Greeter: Hi\n"
         "Greeter: goodbye\n"
         "Clock: stopped\n"
         "Greeter: cleaned up\n"
         "Clock: cleaned up\n"},
        {"the Greeter without the Clock it depends on is refused before loading",
         {"greeter.ini"},
         {},
         std::string(kHeader) + "Allowed: 0xffffffff\n\n" + kGreeterBlockHead +
             greeterInitialize(-52006) + "\n",
         ""},
    };
    for (const tScenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const tOutcome outcome = runExamples(scenario.descriptions, scenario.environment);
        EXPECT_EQ(outcome.statusAfterStart, scenario.status);
        // Stop and Cleanup report nothing: the final file lists the same.
        EXPECT_EQ(outcome.statusAfterStop, scenario.status);
        EXPECT_EQ(outcome.journal, scenario.journal);
        EXPECT_TRUE(outcome.end.signaled);
        EXPECT_EQ(outcome.end.signal, SIGTERM);
    }
}

}  // namespace
