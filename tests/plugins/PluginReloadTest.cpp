// The plugin manager's reload over real test plugins, for what the end-to-end
// tests cannot set up: a running plugin that loses its admission, and a stop
// requested before the reload's first start step.
#include <gtest/gtest.h>

#include "support/LifecycleSupport.h"
#include "support/TestPlugins.h"
#include "plugins/tPluginManager.h"

namespace {

using namespace zotest::plugins;
using zotest::describePlugin;
using tCalls = std::vector<std::string>;

constexpr uint32_t kAllCapabilities = 0xFFFFFFFF;
constexpr uint32_t kDeploymentForbidden = 0xFFFFFFFD;

// A description as read from an unchanged file of its own.
tPluginDescription fromFile(tPluginDescription description) {
    description.file = description.name + ".ini";
    description.fileFingerprint = 1;
    return description;
}

std::vector<tPluginDescription> alphaBetaGamma() {
    return {
        fromFile(
            describePlugin("alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup", {}, 2)),
        fromFile(
            describePlugin("beta", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup", {"alpha"})),
        fromFile(describePlugin("gamma", kGammaPlugin, "GammaInit", "GammaStop", "GammaCleanup"))};
}

std::vector<int32_t> initializeCodes(const tPluginManager& manager) {
    std::vector<int32_t> codes;
    for (const tPluginRecord& record : manager.records()) {
        codes.push_back(record.initializeCode);
    }
    return codes;
}

TEST(PluginReload, PluginNoLongerAdmittedStopsWithItsDependentsAndTheRestGetsNoCall) {
    zotest::tLocalCallLog log;
    tPluginManager manager;
    manager.startPlugins(alphaBetaGamma(), kAllCapabilities);
    manager.reloadPlugins(alphaBetaGamma(), kDeploymentForbidden, [] { return false; });
    EXPECT_EQ((tCalls{"alpha Initialize", "beta Initialize", "gamma Initialize", "beta Stop",
                      "alpha Stop", "beta Cleanup", "alpha Cleanup"}),
              log.calls());
    EXPECT_EQ((std::vector<int32_t>{-52002, -52006, 0}), initializeCodes(manager));
    manager.stopPlugins();
    manager.cleanupPlugins();
}

TEST(PluginReload, StopRequestedFirstStartsNothingAndLeavesTheUnstartedOut) {
    zotest::tLocalCallLog log;
    tPluginManager manager;
    std::vector<tPluginDescription> described = alphaBetaGamma();
    manager.startPlugins({described[2]}, kAllCapabilities);
    manager.reloadPlugins(alphaBetaGamma(), kAllCapabilities, [] { return true; });
    EXPECT_EQ((tCalls{"gamma Initialize"}), log.calls());
    ASSERT_EQ(1u, manager.records().size());
    EXPECT_EQ("gamma", manager.records()[0].description.name);
    manager.stopPlugins();
    manager.cleanupPlugins();
}

}  // namespace
