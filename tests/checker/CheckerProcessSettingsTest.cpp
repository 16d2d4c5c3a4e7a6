// The checker on plugins in processes of their own: it takes the keys as the
// service does, reports what the service would refuse (an unknown user is an
// error), and its trial runs such a plugin in its own process, as its user.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

#include "CheckerTestSupport.h"
#include "support/TestPlugins.h"

namespace {

using Json = nlohmann::json;
using zotest::description;
using namespace zotest::plugins;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CheckerProcessSettings, KeysTheServiceWouldRefuseAreErrorsAndThePluginIsRefused) {
    const struct {
        const char* keys;
        const char* finding;
    } cases[] = {
        {"Isolation=process\nUser=no-such-user-here\n",
         "line 5: error: unknown user \"no-such-user-here\": the service refuses the plugin (-52043)"},
        {"User=nobody\n", "line 4: error: User= needs Isolation=process"},
        {"Isolation=process\nRestart=sometimes\n", "line 5: error: Restart=sometimes is neither"},
    };
    for (const auto& refused : cases) {
        SCOPED_TRACE(refused.keys);
        zotest::tScratchDirectory directory;
        directory.add("odd.ini", description("odd", kAlphaPlugin, refused.keys));
        const zotest::tCheckerRun run = zotest::runChecker({"--plugins-dir", directory.path});
        EXPECT_EQ(1, run.exitStatus) << run.output << run.errors;
        EXPECT_TRUE(contains(run.output, refused.finding)) << run.output;
        EXPECT_TRUE(contains(run.output, "\"odd\" (" + directory.path + "/odd.ini): refused, -52043"))
            << run.output;
    }
}

TEST(CheckerProcessSettings, AcceptedKeysAreShownAndKnownToTheChecker) {
    zotest::tScratchDirectory directory;
    directory.add("sensor.ini",
                  description("sensor", kAlphaPlugin,
                              "Isolation=process\nUser=nobody\nRestart=on-failure\nStopTimeoutSec=5\n"));
    const zotest::tCheckerRun run = zotest::runChecker({"--plugins-dir", directory.path});
    EXPECT_EQ(0, run.exitStatus) << run.output << run.errors;
    EXPECT_TRUE(contains(run.output, "process of its own: user \"nobody\", group (the user's), "
                                     "restart on-failure, stop timeout 5 s"))
        << run.output;
    EXPECT_FALSE(contains(run.output, "unknown-key")) << run.output;
    EXPECT_FALSE(contains(run.output, "is not one the service reads")) << run.output;
    const zotest::tCheckerRun json = zotest::runChecker({"--plugins-dir", directory.path, "--json"});
    const Json process = Json::parse(json.output).at("files").at(0).at("plugin").at("process");
    EXPECT_EQ("nobody", process.at("user"));
    EXPECT_EQ(5, process.at("stopTimeoutSec"));
}

TEST(CheckerProcessSettings, TrialRunsAnIsolatedPluginInItsOwnProcessAsItsUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: only root can run a plugin as another user";
    }
    const std::string unreadable = zotest::unreadableFor(65534, 65534, ZO_TEST_PLUGIN_isoIdentity);
    if (!unreadable.empty()) {
        GTEST_SKIP() << unreadable;
    }
    zotest::tScratchDirectory directory;
    directory.add("identity.ini",
                  description("identity", ZO_TEST_PLUGIN_isoIdentity,
                              "Initialize=IsoIdentityInit\nStop=IsoIdentityStop\n"
                              "Isolation=process\nUser=nobody\n"));
    const zotest::tCheckerRun run =
        zotest::runChecker({"--trial", "--run-for", "0.1", "--plugins-dir", directory.path});
    EXPECT_EQ(0, run.exitStatus) << run.output << run.errors;
    EXPECT_TRUE(contains(run.errors, "isoIdentity Identity euid=65534 egid=65534 regained=0\n"))
        << run.errors;
}

}  // namespace
