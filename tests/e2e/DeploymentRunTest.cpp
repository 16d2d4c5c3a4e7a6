// The deployment permission as the running service applies it, through the
// stand-in system configuration library: the capability mask in the status
// file, the plugins it admits, the messages, and that every framework
// reference is released.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;

// Three plugins that need the plain capability, the deployment capability,
// and either of the two.
void addPluginsByRequirement(const zotest::TestRoot& root) {
    const struct {
        const char* name;
        const char* requires;
    } plugins[] = {{"NeedsOne", "1"}, {"NeedsTwo", "2"}, {"NeedsThree", "3"}};
    for (const auto& plugin : plugins) {
        root.addDescription(std::string(plugin.name) + ".ini",
                            std::string("[Service]\nName=") + plugin.name +
                                "\nPath=" + kGammaPlugin + "\nRequires=" + plugin.requires + "\n");
    }
}

// The block of one plugin in the status text, up to its closing empty line.
std::string blockOf(const std::string& statusText, const std::string& name) {
    const size_t start = statusText.find(name + " (depends on )\n");
    if (start == std::string::npos) {
        return "";
    }
    return statusText.substr(start, statusText.find("\n\n", start) + 2 - start);
}

// Whether the text names a step that ended with a code other than 0. A step
// with code 0 is shown too when it took 1 ms or more, which a busy machine
// may make any plugin's Initialize take.
bool hasFailedStep(const std::string& text) {
    for (size_t at = text.find(" Code: "); at != std::string::npos;
         at = text.find(" Code: ", at + 1)) {
        if (text.compare(at, 9, " Code: 0\n") != 0) {
            return true;
        }
    }
    return false;
}

std::string lastLineOf(const std::string& text) {
    const size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

struct tDeploymentRun {
    std::string statusAfterStart;
    std::string trace;
};

// Runs the service with the stand-in's settings until its start pass is
// written, then stops it by SIGTERM.
tDeploymentRun runWith(const zotest::TestRoot& root, const std::vector<std::string>& settings) {
    const std::string tracePath = root.root() + "/zosysapi.trace";
    std::vector<std::string> environment = settings;
    environment.push_back("ZOSYSAPI_TRACE=" + tracePath);
    zotest::ServiceProcess service({}, environment);
    tDeploymentRun run;
    EXPECT_TRUE(zotest::waitForStatusContaining(root, "NeedsTwo (depends on )"))
        << root.statusText();
    run.statusAfterStart = root.statusText();
    service.sendSignal(SIGTERM);
    const zotest::ProcessEnd end = service.wait();
    EXPECT_TRUE(end.signaled && end.signal == SIGTERM);
    run.trace = zotest::readFile(tracePath);
    return run;
}

TEST(DeploymentRun, DeniedDeploymentRefusesOnlyThePluginsThatNeedIt) {
    zotest::TestRoot root;
    addPluginsByRequirement(root);
    const tDeploymentRun run = runWith(root, {"ZOSYSAPI_DEPLOYMENT=0"});
    EXPECT_NE(std::string::npos, run.statusAfterStart.find("\nAllowed: 0xfffffffd\n"));
    EXPECT_NE(std::string::npos,
              blockOf(run.statusAfterStart, "NeedsTwo").find("\nInit Code: -52002\n"));
    EXPECT_FALSE(hasFailedStep(blockOf(run.statusAfterStart, "NeedsOne")));
    EXPECT_FALSE(hasFailedStep(blockOf(run.statusAfterStart, "NeedsThree")));
    EXPECT_NE(std::string::npos, lastLineOf(run.trace).find(" live=0")) << run.trace;
}

TEST(DeploymentRun, AllowedDeploymentKeepsTheMaskWhole) {
    zotest::TestRoot root;
    addPluginsByRequirement(root);
    const tDeploymentRun run = runWith(root, {});
    EXPECT_NE(std::string::npos, run.statusAfterStart.find("\nAllowed: 0xffffffff\n"));
    EXPECT_FALSE(hasFailedStep(run.statusAfterStart)) << run.statusAfterStart;
    EXPECT_NE(std::string::npos, lastLineOf(run.trace).find(" live=0")) << run.trace;
}

TEST(DeploymentRun, UnreadableSettingIsReportedAndDeploymentStaysAllowed) {
    zotest::TestRoot root;
    addPluginsByRequirement(root);
    const tDeploymentRun run = runWith(root, {"ZOSYSAPI_DEPLOYMENT=0", "ZOSYSAPI_SETTING_ERROR=1"});
    EXPECT_NE(std::string::npos, run.statusAfterStart.find("\nAllowed: 0xffffffff\n"));
    EXPECT_NE(std::string::npos, run.statusAfterStart.find("\n\nDeployment setting not found\n"))
        << run.statusAfterStart;
    EXPECT_FALSE(hasFailedStep(blockOf(run.statusAfterStart, "NeedsTwo")));
    EXPECT_NE(std::string::npos, lastLineOf(run.trace).find(" live=0")) << run.trace;
}

// The one test that waits through a real pause between attempts (10 s).
TEST(DeploymentRun, FrameworkThatFailsOnceIsAskedAgainAfterTheRealPause) {
    zotest::TestRoot root;
    addPluginsByRequirement(root);
    const tDeploymentRun run = runWith(root, {"ZOSYSAPI_FAIL_ATTEMPTS=1", "ZOSYSAPI_DEPLOYMENT=0"});
    const size_t initTime = run.statusAfterStart.find("\nInit Time ");
    ASSERT_NE(std::string::npos, initTime) << run.statusAfterStart;
    EXPECT_GE(std::strtoul(run.statusAfterStart.c_str() + initTime + 11, nullptr, 10), 10000u);
    EXPECT_NE(std::string::npos, run.statusAfterStart.find("\nAllowed: 0xfffffffd\n"));
    EXPECT_EQ(std::string::npos, run.statusAfterStart.find("Cannot init system framework"));
    EXPECT_NE(std::string::npos, lastLineOf(run.trace).find(" live=0")) << run.trace;
}

}  // namespace
