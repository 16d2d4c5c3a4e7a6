// Loading plugin libraries, binding their entry points, and closing them
// again on every path, with the plugins' own calls checked in their log.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <string>

#include "support/LifecycleSupport.h"
#include "support/TestPlugins.h"
#include "plugins/tPluginLibrary.h"
#include "zoerr/Status.h"

namespace {

using namespace zotest::plugins;
using zotest::describePlugin;
using zotest::isLibraryLoaded;
using tCalls = std::vector<std::string>;

struct tRaised {
    int32_t code = 0;
    std::string detail;
};

template <typename Operation>
tRaised raisedBy(Operation operation) {
    tRaised raised;
    try {
        operation();
    } catch (const zoerr::Exception& exception) {
        raised.code = exception.status.code;
        raised.detail = exception.what() != nullptr ? exception.what() : "";
    }
    return raised;
}

// The platform record's detail: where, and in which component; never the
// loader's own text and no error constant.
std::string lineOfLoaderDetail(const std::string& detail) {
    static const std::regex shape(
        R"(\{"file":"source/zoqel/library\.cpp","line":([0-9]+),"component":"zoKorvoRe"\})");
    std::smatch match;
    EXPECT_TRUE(std::regex_match(detail, match, shape)) << detail;
    return match.size() > 1 ? match[1].str() : "";
}

TEST(SharedLibrary, EveryLoaderFailureRaisesInvalidParameterFromASiteOfItsOwn) {
    const std::string missing = std::string(ZO_TEST_BINARY_DIR) + "/no-such-plugin.so";
    zoqel::tSharedLibrary opened;
    opened.open(kAlphaPlugin.c_str());
    struct tCase {
        const char* what;
        std::function<void()> operation;
    };
    const std::vector<tCase> cases = {
        {"missing library", [&] { zoqel::tSharedLibrary().open(missing.c_str()); }},
        {"empty path", [] { zoqel::tSharedLibrary().open(""); }},
        {"symbol of no library", [] { zoqel::tSharedLibrary().getSymbol("AlphaInit"); }},
        {"missing symbol", [&] { opened.getSymbol("NoSuchEntry"); }},
    };
    std::set<std::string> lines;
    for (const tCase& failure : cases) {
        const tRaised raised = raisedBy(failure.operation);
        EXPECT_EQ(-52005, raised.code) << failure.what;
        lines.insert(lineOfLoaderDetail(raised.detail));
    }
    EXPECT_EQ(cases.size(), lines.size()) << "each failure site has a line of its own";
    opened.close();
    EXPECT_FALSE(isLibraryLoaded(kAlphaPlugin));
}

TEST(SharedLibrary, ClosesWhatItOpenedAndNothingElse) {
    zoqel::tSharedLibrary library;
    library.close();  // nothing open: nothing to do
    library.open(kAlphaPlugin.c_str());
    EXPECT_TRUE(library.isLoaded());
    EXPECT_NE(nullptr, library.getSymbol("AlphaInit"));
    {
        zoqel::tSharedLibrary copy = library;
        EXPECT_TRUE(copy.isLoaded());
    }
    EXPECT_TRUE(isLibraryLoaded(kAlphaPlugin)) << "destroying a copy closes nothing";
    library.close();
    EXPECT_FALSE(library.isLoaded());
    EXPECT_FALSE(isLibraryLoaded(kAlphaPlugin));
    library.close();
}

TEST(PluginLibrary, MissingStopFailsTheLoadBeforeAnyEntryPointRuns) {
    zotest::tLocalCallLog log;
    tPluginLibrary plugin;
    const tRaised raised = raisedBy([&] {
        plugin.load(
            describePlugin("alpha", kAlphaPlugin, "AlphaInit", "NoSuchStop", "AlphaCleanup"));
    });
    EXPECT_EQ(-52005, raised.code);
    EXPECT_TRUE(isLibraryLoaded(kAlphaPlugin)) << "the caller discards what a failed load opened";
    plugin.discard();
    EXPECT_FALSE(isLibraryLoaded(kAlphaPlugin));
    EXPECT_EQ(0, plugin.initialize()) << "the defaults stayed in place";
    EXPECT_EQ(tCalls{}, log.calls());
}

TEST(PluginLibrary, EmptyPathIsALoadFailureNotTheProgramItself) {
    tPluginLibrary plugin;
    EXPECT_EQ(-52005, raisedBy([&] { plugin.load(describePlugin("x", "", "main")); }).code);
    EXPECT_FALSE(plugin.library.isLoaded());
    EXPECT_EQ(0, plugin.initialize());
}

TEST(PluginLibrary, FailedInitializeClosesTheLibraryWithoutStopOrCleanup) {
    zotest::tLocalCallLog log;
    tPluginLibrary plugin;
    plugin.load(
        describePlugin("failing", kFailingPlugin, "FailingInit", "FailingStop", "FailingCleanup"));
    EXPECT_EQ(-7, plugin.initialize());
    EXPECT_FALSE(isLibraryLoaded(kFailingPlugin));
    plugin.stop();
    plugin.unload();
    EXPECT_EQ(tCalls{"failing Initialize"}, log.calls());
}

TEST(PluginLibrary, BoundEntryPointsRunUntilUnloadRestoresTheDefaults) {
    zotest::tLocalCallLog log;
    tPluginLibrary plugin;
    plugin.load(describePlugin("alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"));
    EXPECT_EQ(0, plugin.initialize());
    plugin.stop();
    plugin.unload();
    EXPECT_FALSE(isLibraryLoaded(kAlphaPlugin));
    plugin.stop();
    plugin.unload();
    EXPECT_EQ((tCalls{"alpha Initialize", "alpha Stop", "alpha Cleanup"}), log.calls());
}

TEST(PluginLibrary, EmptyEntryPointNamesStillOpenAndCloseTheLibrary) {
    tPluginLibrary plugin;
    plugin.load(describePlugin("plain", kPlainPlugin));
    EXPECT_TRUE(isLibraryLoaded(kPlainPlugin));
    EXPECT_EQ(0, plugin.initialize());
    plugin.stop();
    plugin.unload();
    EXPECT_FALSE(isLibraryLoaded(kPlainPlugin));
}

TEST(PluginLibrary, UnloadAndDiscardOfAResetObjectCloseNothingAndRaiseNothing) {
    zotest::tLocalCallLog log;
    tPluginLibrary opened;
    opened.load(describePlugin("alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"));
    // reset() forgets the binding without closing: the library stays open.
    tPluginLibrary forgotten = opened;
    forgotten.reset();
    forgotten.unload();
    forgotten.discard();
    EXPECT_TRUE(isLibraryLoaded(kAlphaPlugin));
    EXPECT_EQ(tCalls{}, log.calls());
    opened.discard();
    EXPECT_FALSE(isLibraryLoaded(kAlphaPlugin));
    EXPECT_EQ(tCalls{}, log.calls()) << "discard calls none of the plugin's entry points";
}

}  // namespace
