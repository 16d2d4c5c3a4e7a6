// The plugin manager's passes over real test plugins: admission, the
// dependency test, codes, the order of the plugins' calls, and closing.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "support/LifecycleSupport.h"
#include "plugins/StartedNames.h"
#include "support/TestPlugins.h"
#include "plugins/tPluginManager.h"

namespace {

using namespace zotest::plugins;
using zotest::describePlugin;
using zotest::isLibraryLoaded;
using tCalls = std::vector<std::string>;
using tNames = std::vector<std::string>;

constexpr uint32_t kAllCapabilities = 0xFFFFFFFF;
constexpr uint32_t kDeploymentForbidden = 0xFFFFFFFD;

tPluginDescription alpha(tNames dependencies = {}) {
    return describePlugin("alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup",
                          std::move(dependencies));
}
tPluginDescription beta(tNames dependencies = {}) {
    return describePlugin("beta", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup",
                          std::move(dependencies));
}
tPluginDescription gamma(tNames dependencies = {}) {
    return describePlugin("gamma", kGammaPlugin, "GammaInit", "GammaStop", "GammaCleanup",
                          std::move(dependencies));
}
tPluginDescription failing() {
    return describePlugin("failing", kFailingPlugin, "FailingInit", "FailingStop",
                          "FailingCleanup");
}

std::vector<int32_t> initializeCodes(const tPluginManager& manager) {
    std::vector<int32_t> codes;
    for (const tPluginRecord& record : manager.records()) {
        codes.push_back(record.initializeCode);
    }
    return codes;
}

TEST(DependencyTest, EveryDependencyMustMatchADistinctStartedName) {
    struct tCase {
        tNames dependencies;
        tNames started;
        bool expected;
    };
    const std::vector<tCase> cases = {
        {{}, {}, true},
        {{}, {"a"}, true},
        {{"a"}, {}, false},
        {{"a"}, {"a", "b"}, true},
        {{"a", "b"}, {"a", "b"}, true},
        {{"a", "c"}, {"a", "b"}, false},
        {{"b", "c"}, {"a", "b", "c", "d"}, true},
        {{"a", "a"}, {"a"}, false},
        {{"a", "a", "b"}, {"a", "b"}, false},
        {{"a", "b", "b"}, {"a", "b", "c"}, false},
        {{"A"}, {"a"}, false},
        {{"ab"}, {"a"}, false},
        {{"a"}, {"ab"}, false},
        {{"a "}, {"a"}, false},
        {{"\xC3\xA9"}, {"\xC3\xA9", "z"}, true},
    };
    for (const tCase& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.dependencies));
        // A pass over the started plugins, then the dependent one; an unstarted "z" too, which
        // names what it depends on and so must never count as started.
        std::vector<tPluginDescription> plugins;
        for (const std::string& name : test.started) {
            plugins.push_back(describePlugin(name, "", "", "", ""));
        }
        plugins.push_back(describePlugin("dependent", "", "", "", "", test.dependencies));
        plugins.push_back(describePlugin("z", "", "", "", "", test.dependencies));
        std::vector<const tPluginDescription*> pass;
        for (const tPluginDescription& plugin : plugins) {
            pass.push_back(&plugin);
        }
        tStartedNames started(pass);
        const size_t dependent = test.started.size();
        for (size_t i = 0; i < dependent; ++i) {
            started.markStarted(i);
        }
        EXPECT_EQ(test.expected, started.dependenciesStarted(dependent));
        // The merge-style inclusion of a sorted multiset in a set says the same.
        const std::set<std::string> names(test.started.begin(), test.started.end());
        EXPECT_EQ(test.expected, std::includes(names.begin(), names.end(),
                                               test.dependencies.begin(), test.dependencies.end()));
        // Each dependency on its own: started, and not the repeat of the one before it.
        for (size_t d = 0; d < test.dependencies.size(); ++d) {
            const bool repeat = d > 0 && test.dependencies[d] == test.dependencies[d - 1];
            EXPECT_EQ(!repeat && names.count(test.dependencies[d]) != 0,
                      started.dependencyStarted(dependent, d));
        }
    }
}

TEST(StartPass, AdmitsAPluginWhoseRequiresSharesABitWithTheMask) {
    struct tCase {
        uint32_t requires;
        uint32_t mask;
        int32_t expected;
    };
    const std::vector<tCase> cases = {
        {0, kAllCapabilities, -52002},     {1, kAllCapabilities, 0},
        {2, kAllCapabilities, 0},          {3, kAllCapabilities, 0},
        {0, kDeploymentForbidden, -52002}, {1, kDeploymentForbidden, 0},
        {2, kDeploymentForbidden, -52002}, {3, kDeploymentForbidden, 0},
    };
    for (const tCase& test : cases) {
        tPluginManager manager;
        manager.startPlugins({describePlugin("plain", kPlainPlugin, "", "", "", {}, test.requires)},
                             test.mask);
        EXPECT_EQ(std::vector<int32_t>{test.expected}, initializeCodes(manager))
            << "requires " << test.requires << " mask " << test.mask;
        EXPECT_EQ(test.expected == 0, isLibraryLoaded(kPlainPlugin));
        manager.cleanupPlugins();
        EXPECT_FALSE(isLibraryLoaded(kPlainPlugin));
    }
}

TEST(StartPass, DependencyThatHasNotStartedEarlierRefusesTheDependent) {
    struct tCase {
        const char* what;
        std::vector<tPluginDescription> descriptions;
        std::vector<int32_t> expected;
    };
    const std::vector<tCase> cases = {
        {"started earlier", {alpha(), beta({"alpha"})}, {0, 3}},
        {"comes later", {beta({"alpha"}), alpha(), gamma({"beta"})}, {-52006, 0, -52006}},
        {"missing", {beta({"nobody"})}, {-52006}},
        {"failed", {failing(), beta({"failing"})}, {-7, -52006}},
        {"named twice", {alpha(), beta({"alpha", "alpha"})}, {0, -52006}},
        {"each other", {alpha({"beta"}), beta({"alpha"})}, {-52006, -52006}},
        {"case differs", {alpha(), beta({"Alpha"})}, {0, -52006}},
    };
    for (const tCase& test : cases) {
        zotest::tLocalCallLog log;
        tPluginManager manager;
        manager.startPlugins(test.descriptions, kAllCapabilities);
        EXPECT_EQ(test.expected, initializeCodes(manager)) << test.what;
        for (size_t i = 0; i < test.expected.size(); ++i) {
            if (test.expected[i] == -52006) {
                const tPluginDescription& refused = test.descriptions[i];
                EXPECT_FALSE(isLibraryLoaded(refused.path)) << test.what << ": " << refused.name;
                const tCalls calls = log.calls();
                EXPECT_EQ(0, std::count(calls.begin(), calls.end(), refused.name + " Initialize"))
                    << test.what;
            }
        }
        manager.stopPlugins();
        manager.cleanupPlugins();
    }
}

TEST(StartPass, TwoPluginsOfOneNameBothStartAndSatisfyADependent) {
    zotest::tLocalCallLog log;
    tPluginManager manager;
    tPluginDescription second = gamma();
    second.name = "alpha";
    manager.startPlugins({alpha(), second, beta({"alpha"})}, kAllCapabilities);
    EXPECT_EQ((std::vector<int32_t>{0, 0, 3}), initializeCodes(manager));
    manager.stopPlugins();
    manager.cleanupPlugins();
}

TEST(StartPass, LoadAndInitializeFailuresAreRecordedAndCloseTheLibrary) {
    zotest::tLocalCallLog log;
    tPluginManager manager;
    const std::string missing = std::string(ZO_TEST_BINARY_DIR) + "/no-such-plugin.so";
    manager.startPlugins(
        {
            describePlugin("missing", missing, "Init"),
            describePlugin("nosymbol", kGammaPlugin, "GammaInit", "NoSuchStop"),
            describePlugin("emptypath", ""),
            failing(),
            describePlugin("warning", kBetaPlugin, "BetaInit"),
        },
        kAllCapabilities);
    EXPECT_EQ((std::vector<int32_t>{-52005, -52005, -52005, -7, 3}), initializeCodes(manager));
    EXPECT_FALSE(isLibraryLoaded(kGammaPlugin));
    EXPECT_FALSE(isLibraryLoaded(kFailingPlugin));
    EXPECT_TRUE(isLibraryLoaded(kBetaPlugin));
    manager.stopPlugins();
    manager.cleanupPlugins();
    EXPECT_FALSE(isLibraryLoaded(kBetaPlugin));
    EXPECT_EQ((tCalls{"failing Initialize", "beta Initialize"}), log.calls());
    for (const tPluginRecord& record : manager.records()) {
        EXPECT_EQ(0, record.stopCode) << record.description.name;
        EXPECT_EQ(0, record.cleanupCode) << record.description.name;
    }
}

TEST(StartPass, ExceptionThatIsNotStandardFailsOnlyThePluginThatThrewIt) {
    const std::string throwingPlugin = ZO_TEST_PLUGIN_throwing;
    zotest::tLocalCallLog log;
    tPluginManager manager;
    manager.startPlugins({alpha(), describePlugin("throwing", throwingPlugin, "ThrowingInit"),
                          gamma({"throwing"}), beta()},
                         kAllCapabilities);
    EXPECT_EQ((std::vector<int32_t>{0, -52003, -52006, 3}), initializeCodes(manager));
    EXPECT_FALSE(isLibraryLoaded(throwingPlugin)) << "closed again without Stop or Cleanup";
    EXPECT_FALSE(isLibraryLoaded(kGammaPlugin)) << "its dependent is refused";
    EXPECT_EQ("Unknown exception from plugin: throwing\n", manager.messages());
    manager.stopPlugins();
    manager.cleanupPlugins();
    EXPECT_EQ((tCalls{"alpha Initialize", "beta Initialize", "beta Stop", "alpha Stop",
                      "beta Cleanup", "alpha Cleanup"}),
              log.calls());
    EXPECT_EQ("Unknown exception from plugin: throwing\n", manager.messages());
}

TEST(StopAndCleanupPasses, RunInReverseStartOrderAndCloseEveryLibrary) {
    zotest::tLocalCallLog log;
    tPluginManager manager;
    manager.startPlugins(
        {alpha(), beta({"alpha"}), describePlugin("refused", kSlowPlugin, "", "", "", {}, 0),
         gamma({"beta"})},
        kAllCapabilities);
    manager.stopPlugins();
    manager.cleanupPlugins();
    EXPECT_EQ((tCalls{"alpha Initialize", "beta Initialize", "gamma Initialize", "gamma Stop",
                      "beta Stop", "alpha Stop", "gamma Cleanup", "beta Cleanup", "alpha Cleanup"}),
              log.calls());
    for (const std::string& path : {kAlphaPlugin, kBetaPlugin, kGammaPlugin, kSlowPlugin}) {
        EXPECT_FALSE(isLibraryLoaded(path)) << path;
    }
}

TEST(StopAndCleanupPasses, StepsAreTimedInWholeMilliseconds) {
    tPluginManager manager;
    manager.startPlugins(
        {describePlugin("slow", kSlowPlugin, "SlowInit", "SlowStop", "SlowCleanup")},
        kAllCapabilities);
    manager.stopPlugins();
    manager.cleanupPlugins();
    const tPluginRecord& record = manager.records().at(0);
    EXPECT_GE(record.stopTimeMs, 30u);
    EXPECT_LT(record.stopTimeMs, 1000u);
    EXPECT_LT(record.initializeTimeMs, 30u);
    EXPECT_EQ(0, record.stopCode);
}

TEST(StartPass, NoDescriptionsMakeNoRecords) {
    tPluginManager manager;
    manager.startPlugins({}, kAllCapabilities);
    manager.stopPlugins();
    manager.cleanupPlugins();
    EXPECT_TRUE(manager.records().empty());
    EXPECT_EQ("", manager.statusText());
}

}  // namespace
