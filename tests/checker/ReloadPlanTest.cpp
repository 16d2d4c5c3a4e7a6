// The checker's reload plan against the running service: what it says a
// SIGHUP would keep, stop and start, and what the reload then does.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <string>

#include "CheckerTestSupport.h"
#include "support/LibraryShelf.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;

TEST(ReloadPlan, SaysWhatAReloadKeepsStopsAndStartsAndWhy) {
    zotest::TestRoot root;
    zotest::tLibraryShelf shelf(root);
    const std::string alpha = shelf.place(kAlphaPlugin, "alpha");
    root.addDescription("a.ini", zotest::description("A", alpha));
    root.addDescription("b.ini", zotest::description("B", kBetaPlugin, "Dependencies=A\n"));
    root.addDescription("c.ini", zotest::description("C", kGammaPlugin));
    root.addDescription("d.ini", zotest::description("D", kPlainPlugin));
    root.addDescription("k.ini", zotest::description("K", kGammaPlugin));
    root.addDescription("f.ini",
                        zotest::description("F", kFailingPlugin, "Initialize=FailingInit\n"));
    zotest::ServiceProcess service;
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "K (depends on"));
    // The plan goes by the JSON twin, written beside the text, else by the
    // text; file times advance by the kernel's clock tick: the changes come
    // later than both.
    const std::string json = root.statusDirectory() + "/zoKorvoRemoteService.status.json";
    ASSERT_TRUE(zotest::waitFor([&] {
        return zotest::fileExists(json) &&
               zotest::readFile(json).find("\"K\"") != std::string::npos;
    }));
    zotest::waitUntilFileTimesPass(json);
    zotest::waitUntilFileTimesPass(root.statusFile());

    root.addDescription("c.ini", zotest::description("C", kGammaPlugin, "Requires=3\n"));
    shelf.place(kAlphaPlugin, "alpha");
    ASSERT_EQ(0, remove((root.pluginsDirectory() + "/d.ini").c_str()));
    root.addDescription("e.ini", zotest::description("E", kPlainPlugin));
    const std::string lines = "  stop \"A\": its library " + alpha +
                              " was written after the service loaded it\n"
                              "  stop \"B\": it depends on \"A\", which is not kept\n"
                              "  stop \"C\": its description changed\n"
                              "  stop \"D\": no accepted description file describes it any more\n"
                              "  keep \"K\": unchanged, gets no call\n"
                              "  start \"A\": restarts: its library " +
                              alpha +
                              " was written after the service loaded it\n"
                              "  start \"B\": restarts: it depends on \"A\", which is not kept\n"
                              "  start \"C\": restarts: its description changed\n"
                              "  start \"E\": new\n"
                              "  start \"F\": not running (start code -7): tried again\n"
                              "Reload summary: 1 kept, 4 stopped, 5 started\n";
    // From the JSON status while there is one, else from the text: the same plan.
    for (const std::string& statusFile : {json, root.statusFile()}) {
        const zotest::tCheckerRun checker = zotest::runChecker({"--reload-plan"});
        EXPECT_EQ(0, checker.exitStatus) << checker.errors;
        const std::string plan = checker.output.substr(checker.output.find("Reload plan"));
        EXPECT_EQ("Reload plan (against " + statusFile + "; the service is not asked):\n" + lines,
                  plan);
        // A JSON status the checker cannot read counts as none.
        zotest::writeFile(json, "{\"schema\": 1}");
    }
    service.sendSignal(SIGHUP);
    EXPECT_TRUE(zotest::waitForStatusContaining(root, "E (depends on"));
    EXPECT_EQ(std::string::npos, root.statusText().find("D (depends on"));
    service.sendSignal(SIGTERM);
    EXPECT_TRUE(service.wait().signaled);
}

}  // namespace
