// Reloading with SIGHUP, as an operator who deploys plugin changes meets it:
// the calls each plugin receives (tests/testplugins writes them to a log), the
// status file after a reload against a fresh start's, signals in every
// phase, and what the service manager is told (a notification socket of the
// test's own stands in for it and says when a reload is over).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/DescriptionFile.h"
#include "support/LibraryShelf.h"
#include "support/NotifySocket.h"
#include "support/PluginCallLog.h"
#include "support/SafetyRun.h"
#include "support/ServiceEnd.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;
using zotest::tDescriptionFile;
using zotest::tLibraryShelf;
using tCalls = std::vector<std::string>;

const std::string kDrowsyPlugin = ZO_TEST_PLUGIN_drowsyA;
const std::string kDozyPlugin = ZO_TEST_PLUGIN_dozy;
const std::string kResidentPlugin = ZO_TEST_PLUGIN_resident;
const std::string kDawdlerPlugin = ZO_TEST_PLUGIN_dawdler;

// A run of the test variant with the call log and a notification socket.
struct tReloadRun {
    explicit tReloadRun(std::vector<std::string> environment = {})
        : service({}, withSocketAndLog(std::move(environment))) {}

    // Waits until the service has said READY=1 `count` times: the start and
    // each reload end with it.
    ::testing::AssertionResult waitForReady(int count) {
        if (readyCount() >= count ||
            socket.waitFor([&](const std::string&) { return readyCount() >= count; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "READY=1 not " << count << " times in:\n"
                                             << socket.transcript();
    }
    ::testing::AssertionResult reload(int readyAfter) {
        service.sendSignal(SIGHUP);
        return waitForReady(readyAfter);
    }
    ::testing::AssertionResult waitForCall(const std::string& call, size_t times = 1) {
        if (zotest::waitFor([&] {
                const tCalls calls = log.calls();
                return static_cast<size_t>(std::count(calls.begin(), calls.end(), call)) >= times;
            })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "no " << call;
    }
    // True when the service sent a message that begins with `text`.
    bool said(const std::string& text) {
        socket.receivePending();
        return std::any_of(socket.received().begin(), socket.received().end(),
                           [&](const zotest::tNotification& message) {
                               return message.text.rfind(text, 0) == 0;
                           });
    }
    int readyCount() const {
        return static_cast<int>(std::count_if(socket.received().begin(), socket.received().end(),
                                              [](const zotest::tNotification& message) {
                                                  return message.text.rfind("READY=1", 0) == 0;
                                              }));
    }

    zotest::tPluginCallLog log;
    zotest::tNotifySocket socket;
    zotest::ServiceProcess service;

  private:
    std::vector<std::string> withSocketAndLog(std::vector<std::string> environment) const {
        environment.push_back(log.environmentEntry());
        environment.push_back(socket.environmentEntry());
        return environment;
    }
};

// The status text without what measures the machine: every step that
// ended with code 0 is left out whatever it took, and the duration of every
// other one is masked, as a plugin with pauses of its own, or a run under
// valgrind, takes a few milliseconds more or less each time.
std::string withoutDurations(const std::string& statusText) {
    static const std::regex kSucceededStep("[^\n]* Time: [0-9]+ ms\n[^\n]* Code: 0\n");
    static const std::regex kDuration(" Time: [0-9]+ ms\n");
    return std::regex_replace(
        std::regex_replace(zotest::normalizeMeasurements(statusText), kSucceededStep, ""),
        kDuration, " Time: <ms> ms\n");
}

// True when the JSON status reports a reload that was done.
bool reloadReported(const zotest::TestRoot& root) {
    return zotest::readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json")
               .find("\"reload\":{\"at\":") != std::string::npos;
}

// True when every plugin that got Initialize got one Stop and one Cleanup
// after it, and nothing else: nothing is left half-started or stopped twice.
::testing::AssertionResult everyStartEndedOnce(const tCalls& calls) {
    std::map<std::string, std::string> lastStep;
    for (const std::string& call : calls) {
        const std::string plugin = call.substr(0, call.find(' '));
        const std::string step = call.substr(call.find(' ') + 1);
        const std::string expectedBefore = step == "Stop"      ? "Initialize"
                                           : step == "Cleanup" ? "Stop"
                                                               : "";
        if (step != "Constructor" && lastStep[plugin] != expectedBefore &&
            !(step == "Initialize" && lastStep[plugin] == "Cleanup")) {
            return ::testing::AssertionFailure() << call << " after " << lastStep[plugin];
        }
        lastStep[plugin] = step == "Constructor" ? lastStep[plugin] : step;
    }
    for (const auto& [plugin, step] : lastStep) {
        if (step != "Cleanup") {
            return ::testing::AssertionFailure() << plugin << " ended at " << step;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(Reload, KeepsWhatIsUnchangedAndRestartsWhatChangedOrDependsOnIt) {
    zotest::TestRoot root;
    tLibraryShelf shelf(root);
    tDescriptionFile changed{"C", kGammaPlugin, "GammaInit", "GammaStop", "GammaCleanup"};
    zotest::addDescriptions(
        root,
        {
            {"A", shelf.place(kAlphaPlugin, "alpha"), "AlphaInit", "AlphaStop", "AlphaCleanup"},
            {"B", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup", "A"},
            changed,
            {"D", kDrowsyPlugin, "DrowsyAInit", "DrowsyAStop", "DrowsyACleanup"},
            {"F", shelf.pathOf("fixed"), "DozyInit", "DozyStop", "DozyCleanup"},
            {"K", kSlowPlugin, "SlowInit", "SlowStop", "SlowCleanup"},
        });
    tReloadRun run;
    ASSERT_TRUE(run.waitForReady(1));
    EXPECT_NE(std::string::npos, root.statusText().find("DozyInit Code: -52005\n"));

    // The same settings in other bytes still count as a change.
    changed.requires = "1";
    root.addDescription("C.ini", changed.text());
    shelf.place(kAlphaPlugin, "alpha");
    ASSERT_EQ(0, remove((root.pluginsDirectory() + "/D.ini").c_str()));
    zotest::addDescriptions(
        root, {{"E", kAnnouncingPlugin, "AnnouncingInit", "AnnouncingStop", "AnnouncingCleanup"}});
    shelf.place(kDozyPlugin, "fixed");
    ASSERT_TRUE(run.reload(2));

    EXPECT_EQ((tCalls{"alpha Initialize", "beta Initialize", "gamma Initialize",
                      "drowsyA Initialize", "slow Initialize",
                      // The stopped, last started first; K is kept and gets nothing.
                      "drowsyA Stop", "gamma Stop", "beta Stop", "alpha Stop", "drowsyA Cleanup",
                      "gamma Cleanup", "beta Cleanup", "alpha Cleanup",
                      // Started in the new order; F's library is there now.
                      "alpha Initialize", "beta Initialize", "gamma Initialize",
                      "announcing Constructor", "announcing Initialize", "dozy Initialize"}),
              run.log.calls());
    const std::string afterReload = root.statusText();
    zotest::stopBySignal(run.service);

    tReloadRun fresh;
    ASSERT_TRUE(fresh.waitForReady(1));
    EXPECT_EQ(withoutDurations(root.statusText()), withoutDurations(afterReload));
    zotest::stopBySignal(fresh.service);
}

TEST(Reload, NothingChangedMeansNoPluginCallAndTheManagerIsToldOfIt) {
    zotest::TestRoot root;
    zotest::addDescriptions(root, {
                                      {"A", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"},
                                      {"B", kBetaPlugin, "BetaInit", "BetaStop", "", "A"},
                                  });
    tReloadRun run;
    ASSERT_TRUE(run.waitForReady(1));
    const std::string afterStart = root.statusText();
    ASSERT_TRUE(run.reload(2));
    // Two in a row: each runs, or the second joins the first.
    run.service.sendSignal(SIGHUP);
    run.service.sendSignal(SIGHUP);
    ASSERT_TRUE(run.waitForReady(3));

    EXPECT_EQ((tCalls{"alpha Initialize", "beta Initialize"}), run.log.calls());
    EXPECT_EQ(withoutDurations(afterStart), withoutDurations(root.statusText()));
    const auto& messages = run.socket.received();
    const auto reloading =
        std::find_if(messages.begin(), messages.end(), [](const zotest::tNotification& message) {
            return message.text.rfind("RELOADING=1\nMONOTONIC_USEC=", 0) == 0;
        });
    ASSERT_NE(messages.end(), reloading) << run.socket.transcript();
    EXPECT_NE(std::string::npos, reloading->text.find("\nSTATUS=Reloading plugins"));
    EXPECT_TRUE(std::any_of(reloading, messages.end(), [](const zotest::tNotification& message) {
        return message.text == "READY=1\nSTATUS=Plugins: 2 started, 0 refused, 0 failed";
    })) << run.socket.transcript();
    zotest::stopBySignal(run.service);
    EXPECT_EQ(
        (tCalls{"alpha Initialize", "beta Initialize", "beta Stop", "alpha Stop", "alpha Cleanup"}),
        run.log.calls());
}

TEST(Reload, PluginsDirectoryGoneKeepsEveryPluginRunning) {
    zotest::TestRoot root;
    zotest::addDescriptions(root, {{"A", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}});
    tReloadRun run;
    ASSERT_TRUE(run.waitForReady(1));
    zotest::removeTree(root.pluginsDirectory());
    ASSERT_TRUE(run.reload(2));
    EXPECT_NE(std::string::npos, root.statusText().find("\nFailed to open plugins directory.\n"));
    EXPECT_NE(std::string::npos, root.statusText().find("A (depends on )\n"));
    zotest::stopBySignal(run.service);
    EXPECT_EQ((tCalls{"alpha Initialize", "alpha Stop", "alpha Cleanup"}), run.log.calls());
}

TEST(Reload, TwoRequestsInARowApplyAChangeOnce) {
    zotest::TestRoot root;
    tDescriptionFile changed{"C", kGammaPlugin, "GammaInit", "GammaStop", "GammaCleanup"};
    zotest::addDescriptions(
        root, {{"A", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}, changed});
    tReloadRun run;
    ASSERT_TRUE(run.waitForReady(1));
    changed.requires = "3";
    root.addDescription("C.ini", changed.text());
    run.service.sendSignal(SIGHUP);
    run.service.sendSignal(SIGHUP);
    ASSERT_TRUE(run.waitForCall("gamma Initialize", 2));
    ASSERT_TRUE(run.waitForReady(2));
    zotest::stopBySignal(run.service);
    EXPECT_EQ(
        (tCalls{"alpha Initialize", "gamma Initialize", "gamma Stop", "gamma Cleanup",
                "gamma Initialize", "gamma Stop", "alpha Stop", "gamma Cleanup", "alpha Cleanup"}),
        run.log.calls());
}

// What changes while the plugins start is taken in before the service says
// it is ready: the service manager folds a reload asked for during the start
// into the start, so the start must bring in what that reload would. The
// dawdler holds the start at its gate while the test changes things.
TEST(Reload, WhatChangesDuringTheStartIsTakenInBeforeTheServiceIsReady) {
    const tDescriptionFile dawdler{"W", kDawdlerPlugin, "DawdlerInit"};
    const tDescriptionFile alpha{"A", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"};
    struct tCase {
        const char* what;
        std::function<void(const zotest::TestRoot&, const tLibraryShelf&)> change;
        tCalls callsWhenReady;
    };
    const std::vector<tCase> cases = {
        {"nothing: no reload", nullptr, {"alpha Initialize", "dawdler Initialize"}},
        {"a description added",
         [](const zotest::TestRoot& root, const tLibraryShelf&) {
             zotest::addDescriptions(root, {{"B", kBetaPlugin, "BetaInit", "BetaStop"}});
         },
         {"alpha Initialize", "dawdler Initialize", "beta Initialize"}},
        {"a running plugin's library replaced",
         [](const zotest::TestRoot&, const tLibraryShelf& shelf) {
             shelf.place(kAlphaPlugin, "alpha");
         },
         {"alpha Initialize", "dawdler Initialize", "alpha Stop", "alpha Cleanup",
          "alpha Initialize"}},
    };
    for (const tCase& test : cases) {
        SCOPED_TRACE(test.what);
        zotest::TestRoot root;
        const tLibraryShelf shelf(root);
        tDescriptionFile shelvedAlpha = alpha;
        shelvedAlpha.path = shelf.place(kAlphaPlugin, "alpha");
        // Alpha first, by its name: it runs while the dawdler waits.
        zotest::addDescriptions(root, {shelvedAlpha, dawdler});
        const zotest::tPluginGate gate(root);
        tReloadRun run({gate.environmentEntry()});
        ASSERT_TRUE(run.waitForCall("dawdler Initialize"));
        if (test.change) {
            test.change(root, shelf);
        }
        gate.open();
        ASSERT_TRUE(run.waitForReady(1));
        EXPECT_EQ(test.callsWhenReady, run.log.calls());
        EXPECT_EQ(test.change != nullptr, reloadReported(root));
        EXPECT_FALSE(run.said("RELOADING=1")) << run.socket.transcript();
        zotest::stopBySignal(run.service);
    }
}

// SIGHUP while the start pass runs, and while the stop runs; SIGTERM while
// a reload starts a plugin, and together with a SIGHUP.
TEST(Reload, SignalsInEveryPhaseLeaveTheDocumentedState) {
    const tDescriptionFile alpha{"A", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"};
    const tDescriptionFile dozy{"D", kDozyPlugin, "DozyInit", "DozyStop", "DozyCleanup"};
    const tCalls startedAndStopped{"alpha Initialize", "dozy Initialize", "dozy Stop",
                                   "alpha Stop",       "dozy Cleanup",    "alpha Cleanup"};
    {
        SCOPED_TRACE("during the start pass: a reload right after it, part of the start, which "
                     "finds nothing to do");
        zotest::TestRoot root;
        zotest::addDescriptions(root, {alpha, dozy});
        tReloadRun run;
        ASSERT_TRUE(run.waitForCall("dozy Initialize"));
        run.service.sendSignal(SIGHUP);
        ASSERT_TRUE(run.waitForReady(1));
        EXPECT_TRUE(reloadReported(root));
        EXPECT_FALSE(run.said("RELOADING=1")) << run.socket.transcript();
        zotest::stopBySignal(run.service);
        EXPECT_EQ(startedAndStopped, run.log.calls());
    }
    {
        SCOPED_TRACE("during the stop: ignored, the service ends by SIGTERM");
        zotest::TestRoot root;
        zotest::addDescriptions(root, {alpha, dozy});
        tReloadRun run;
        ASSERT_TRUE(run.waitForReady(1));
        run.service.sendSignal(SIGTERM);
        ASSERT_TRUE(run.waitForCall("dozy Stop"));
        run.service.sendSignal(SIGHUP);
        zotest::stopBySignal(run.service);
        EXPECT_EQ(startedAndStopped, run.log.calls());
    }
    {
        SCOPED_TRACE("SIGTERM during a reload's start step: that step ends, nothing more starts");
        zotest::TestRoot root;
        zotest::addDescriptions(root, {alpha});
        tReloadRun run;
        ASSERT_TRUE(run.waitForReady(1));
        zotest::addDescriptions(root, {dozy, {"Z", kGammaPlugin, "GammaInit"}});
        run.service.sendSignal(SIGHUP);
        ASSERT_TRUE(run.waitForCall("dozy Initialize"));
        zotest::stopBySignal(run.service);
        EXPECT_EQ(startedAndStopped, run.log.calls());
        EXPECT_EQ(std::string::npos, root.statusText().find("Z (depends on"));
    }
    {
        SCOPED_TRACE("SIGHUP and SIGTERM at once, with a change to apply");
        zotest::TestRoot root;
        zotest::addDescriptions(root, {alpha, dozy});
        tReloadRun run;
        ASSERT_TRUE(run.waitForReady(1));
        zotest::addDescriptions(root, {{"B", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup"}});
        run.service.sendSignal(SIGHUP);
        run.service.sendSignal(SIGTERM);
        const zotest::ProcessEnd end = run.service.wait();
        ASSERT_TRUE(end.signaled);
        EXPECT_EQ(SIGTERM, end.signal);
        EXPECT_TRUE(everyStartEndedOnce(run.log.calls()));
    }
}

// The one reload test that waits through the real pauses of the deployment
// permission query (10 s each): SIGHUP during the start's pause, SIGTERM
// during the reload's.
TEST(Reload, SignalsDuringThePermissionPausesLoseNothing) {
    zotest::TestRoot root;
    zotest::addDescriptions(root, {{"A", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}});
    // The pauses shortened, long enough to be shown (a second): what counts is
    // that the signals land in them.
    tReloadRun run({"ZOSYSAPI_FAIL_ATTEMPTS=1", "ZO_TEST_DEPLOYMENT_PAUSE_MS=1500"});
    ASSERT_TRUE(run.socket.waitFor([](const std::string& message) {
        return message.find("Deployment permission: attempt 1 of 7 failed") != std::string::npos;
    })) << run.socket.transcript();
    run.service.sendSignal(SIGHUP);
    ASSERT_TRUE(run.socket.waitFor([](const std::string& message) {
        return message.find("Deployment permission: attempt 1 of 7 failed") != std::string::npos;
    })) << "the reload, right after the start pass, asks again:\n"
        << run.socket.transcript();
    // The test reads what the manager would read all along: a full queue
    // would hold up the service's next message.
    run.service.sendSignal(SIGTERM);
    ASSERT_TRUE(run.socket.waitFor([](const std::string& message) {
        return message.rfind("STOPPING=1", 0) == 0;
    })) << run.socket.transcript();
    zotest::stopBySignal(run.service);
    EXPECT_EQ((tCalls{"alpha Initialize", "alpha Stop", "alpha Cleanup"}), run.log.calls())
        << run.socket.transcript();
}

// A library the loader keeps mapped (marked so, or a C++ plugin with GNU
// unique symbols) cannot be replaced; the same C++ plugin built with the
// kit's -fno-gnu-unique is.
TEST(Reload, ReplacedLibraryIsStartedAgainUnlessTheLoaderStillHoldsIt) {
    struct tCase {
        const char* name;
        std::string library;
        const char* initialize;
        const char* logName;
        bool replaced;
    };
    const tCase cases[] = {
        {"Resident", kResidentPlugin, "ResidentInit", "resident", false},
        {"Unique", ZO_TEST_PLUGIN_unique, "ThrowingUniqueInit", "unique", false},
        {"KitBuilt", ZO_TEST_PLUGIN_kitBuilt, "ThrowingUniqueInit", "kitBuilt", true},
    };
    for (const tCase& test : cases) {
        SCOPED_TRACE(test.name);
        if (std::string(test.name) == "Unique" && ZO_TEST_GNU_UNIQUE == 0) {
            continue;  // this compiler made no GNU unique symbol to keep it mapped
        }
        zotest::TestRoot root;
        tLibraryShelf shelf(root);
        zotest::addDescriptions(
            root, {{test.name, shelf.place(test.library, test.logName), test.initialize}});
        tReloadRun run;
        ASSERT_TRUE(run.waitForReady(1));
        shelf.place(test.library, test.logName);
        ASSERT_TRUE(run.reload(2));
        const std::string status = root.statusText();
        const std::string held =
            std::string("\nOld library still loaded, new version not started: ") + test.name + "\n";
        EXPECT_EQ(!test.replaced, status.find(held) != std::string::npos) << status;
        EXPECT_EQ(!test.replaced, status.find(std::string(test.initialize) + " Code: -52005\n") !=
                                      std::string::npos)
            << status;
        const std::string started = std::string(test.logName) + " Initialize";
        const tCalls expected = test.replaced ? tCalls{started, started} : tCalls{started};
        EXPECT_EQ(expected, run.log.calls());
        zotest::stopBySignal(run.service);
    }
}

}  // namespace
