// The service with a plugin that ends the process it runs in, or meddles with
// what the service holds: the exit status or signal, the status file, its JSON
// twin and the journal say which plugin did it, and a plugin that only
// touched descriptors cannot keep SIGTERM from stopping the plugins in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/NotifySocket.h"
#include "support/PluginCallLog.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;

// The exit status the manual documents for a plugin's exit().
constexpr int kPluginExitStatus = 70;
constexpr char kStoppingId[] = "3a79eee9beec4aada33bf20cbcd8f28b";

struct tFaultRun {
    zotest::ProcessEnd end;
    std::string status;
    std::string json;
    std::string journal;  // every datagram, each followed by "----\n"
    std::vector<std::string> calls;
    std::vector<std::string> notifications;
};

// The crashes under test need no core file.
void noCoreFiles() {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

void addDescription(const zotest::TestRoot& root, const std::string& name,
                    const std::string& library, const std::string& entries) {
    root.addDescription(name + ".ini",
                        "[Service]\nName=" + name + "\nPath=" + library + "\n" + entries);
}

// Alpha starts first and Zulu last, around the plugins a case adds.
void addNeighbours(const zotest::TestRoot& root) {
    addDescription(root, "Alpha", kAlphaPlugin,
                   "Initialize=AlphaInit\nStop=AlphaStop\nCleanup=AlphaCleanup\n");
    addDescription(root, "Zulu", kGammaPlugin,
                   "Initialize=GammaInit\nStop=GammaStop\nCleanup=GammaCleanup\n");
}

using tWhileRunning = std::function<void(const zotest::TestRoot&, zotest::ServiceProcess&)>;

// Runs the service with Alpha, the plugin `name` and Zulu, under a journal
// and a notification socket of the test's own, until it ends;
// `whileRunning`, when given, ends it. The receivers read until the process
// has ended, so that a full queue drops nothing.
tFaultRun runWithPlugin(const char* name, const std::string& library, const char* entries,
                        const tWhileRunning& whileRunning = {}) {
    zotest::TestRoot root;
    addNeighbours(root);
    addDescription(root, name, library, entries);
    noCoreFiles();
    zotest::tNotifySocket journal(zotest::TestRoot::journalSocket());
    zotest::tNotifySocket manager;
    zotest::tPluginCallLog log;
    std::atomic<bool> ended{false};
    const auto receiveUntilEnded = [&ended](zotest::tNotifySocket& socket) {
        const auto never = [](const std::string&) { return false; };
        do {
            socket.waitFor(never, std::chrono::milliseconds(100));
        } while (!ended);
        socket.receivePending();
    };
    std::thread journalReader([&] { receiveUntilEnded(journal); });
    std::thread managerReader([&] { receiveUntilEnded(manager); });
    tFaultRun run;
    {
        zotest::ServiceProcess service({}, {"ZOSYSAPI_DEPLOYMENT=1", "JOURNAL_STREAM=",
                                            manager.environmentEntry(), log.environmentEntry()});
        if (whileRunning) {
            whileRunning(root, service);
        }
        // Bounded far above the few seconds a plugin's end may take, for a busy machine.
        run.end = service.wait(std::chrono::seconds(30));
    }
    ended = true;
    journalReader.join();
    managerReader.join();
    run.status = root.statusText();
    run.json = zotest::readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json");
    for (const zotest::tNotification& datagram : journal.received()) {
        run.journal += datagram.text + "----\n";
    }
    for (const zotest::tNotification& datagram : manager.received()) {
        run.notifications.push_back(datagram.text);
    }
    run.calls = log.calls();
    return run;
}

// SIGTERM once the start pass is written.
void stopOnceStarted(const zotest::TestRoot& root, zotest::ServiceProcess& service) {
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "Zulu"));
    service.sendSignal(SIGTERM);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool called(const tFaultRun& run, const std::string& call) {
    for (const std::string& line : run.calls) {
        if (line == call) {
            return true;
        }
    }
    return false;
}

// The journal's record for the plugin's end: priority 2, naming it.
void expectJournalNames(const tFaultRun& run, const std::string& plugin, const std::string& line) {
    EXPECT_TRUE(contains(run.journal, "MESSAGE=" + line + "\nPRIORITY=2\n")) << run.journal;
    EXPECT_TRUE(contains(run.journal, "PLUGIN=" + plugin + "\n")) << run.journal;
}

struct tExitCase {
    const char* plugin;
    std::string library;
    const char* entries;
    const char* line;
    bool zuluStarted;  // the exit came after the start pass
};

TEST(PluginFaultRun, ExitEndsWithTheDocumentedStatusNamesThePluginAndShowsNoneStartedThatWasNot) {
    const tExitCase cases[] = {
        {"Exiter", ZO_TEST_PLUGIN_exiter, "Initialize=ExiterInit\n",
         "Plugin Exiter called exit(0) in Initialize", false},
        {"QuickExiter", ZO_TEST_PLUGIN_quickExiter, "Initialize=QuickExiterInit\n",
         "Plugin QuickExiter called quick_exit in Initialize", false},
        // These end by themselves: the thread calls exit() half a second after Initialize.
        {"ThreadExiter", ZO_TEST_PLUGIN_threadExiter,
         "Initialize=ThreadExiterInit\nStop=ThreadExiterStop\n",
         "Plugin ThreadExiter called exit(3) from a thread of its own", true},
        {"CxxExiter", ZO_TEST_PLUGIN_throwing, "Initialize=ThrowingExitLaterInit\n",
         "Plugin CxxExiter called exit(3) from a thread of its own", true},
    };
    for (const tExitCase& fault : cases) {
        SCOPED_TRACE(fault.plugin);
        const tFaultRun run = runWithPlugin(fault.plugin, fault.library, fault.entries);
        ASSERT_FALSE(run.end.timedOut) << "the service hung after the exit";
        ASSERT_TRUE(run.end.exited) << "signal " << run.end.signal;
        EXPECT_EQ(kPluginExitStatus, run.end.exitCode);
        EXPECT_TRUE(contains(run.status, std::string(fault.line) + "\n")) << run.status;
        EXPECT_TRUE(contains(run.status, "Alpha")) << run.status;
        // Zulu, after it in the start order, is shown only when its Initialize ran.
        EXPECT_EQ(fault.zuluStarted, contains(run.status, "Zulu")) << run.status;
        EXPECT_EQ(fault.zuluStarted, called(run, "gamma Initialize"));
        EXPECT_TRUE(contains(run.json, "\"phase\":\"aborted\"")) << run.json;
        EXPECT_TRUE(contains(run.json, "\"kind\":\"pluginFault\"")) << run.json;
        // Nothing was stopped: no plugin's Stop ran on the way out.
        EXPECT_FALSE(called(run, "alpha Stop"));
        expectJournalNames(run, fault.plugin, fault.line);
    }
}

// _exit() runs nothing of the service's: the reports stay as they were when
// the Stop began, which they say.
TEST(PluginFaultRun, UnderscoreExitInStopCannotBeCaughtAndTheReportsSayTheStopBegan) {
    const tFaultRun run =
        runWithPlugin("StopExiter", ZO_TEST_PLUGIN_stopExiter,
                      "Initialize=StopExiterInit\nStop=StopExiterStop\n", stopOnceStarted);
    ASSERT_TRUE(run.end.exited);
    EXPECT_EQ(0, run.end.exitCode);
    EXPECT_TRUE(contains(run.json, "\"phase\":\"stopping\"")) << run.json;
    EXPECT_TRUE(called(run, "gamma Stop"));
    EXPECT_FALSE(called(run, "alpha Stop"));
}

TEST(PluginFaultRun, PluginThatClosesOrWritesDescriptorsCannotKeepSigtermFromStoppingInOrder) {
    const tExitCase cases[] = {
        {"Closer", ZO_TEST_PLUGIN_closer, "Initialize=CloserInit\n", "", true},
        {"WideCloser", ZO_TEST_PLUGIN_wideCloser, "Initialize=WideCloserInit\n", "", true},
        {"Writer", ZO_TEST_PLUGIN_writer,
         "Initialize=WriterInit\nStop=WriterStop\nCleanup=WriterCleanup\n", "", true},
    };
    for (const tExitCase& meddler : cases) {
        SCOPED_TRACE(meddler.plugin);
        const tFaultRun run =
            runWithPlugin(meddler.plugin, meddler.library, meddler.entries, stopOnceStarted);
        ASSERT_TRUE(run.end.signaled) << "exit code " << run.end.exitCode;
        EXPECT_EQ(SIGTERM, run.end.signal);
        const std::vector<std::string> stops = {"gamma Stop", "alpha Stop"};
        std::vector<std::string> seen;
        for (const std::string& call : run.calls) {
            if (call == stops[0] || call == stops[1]) {
                seen.push_back(call);
            }
        }
        EXPECT_EQ(stops, seen);
        EXPECT_TRUE(contains(run.json, "\"phase\":\"stopped\"")) << run.json;
        // The journal's and the manager's sockets were found again after it.
        EXPECT_TRUE(contains(run.journal, kStoppingId)) << run.journal;
        bool stoppingTold = false;
        for (const std::string& notification : run.notifications) {
            stoppingTold = stoppingTold || contains(notification, "STOPPING=1");
        }
        EXPECT_TRUE(stoppingTold);
    }
}

struct tCrashCase {
    const char* plugin;
    std::string library;
    const char* entries;
    int signal;
    const char* line;
};

TEST(PluginFaultRun, CrashEndsTheServiceByItsSignalAndTheLastWordNamesThePlugin) {
    const tCrashCase cases[] = {
        {"LateCrasher", ZO_TEST_PLUGIN_lateCrasher, "Initialize=LateCrasherInit\n", SIGSEGV,
         "Plugin LateCrasher crashed: SIGSEGV in its own code"},
        {"Aborter", ZO_TEST_PLUGIN_aborter, "Initialize=AborterInit\n", SIGABRT,
         "Plugin Aborter crashed: SIGABRT in code it called"},
        {"CxxTerminator", ZO_TEST_PLUGIN_throwing, "Initialize=ThrowingTerminateLaterInit\n",
         SIGABRT, "Plugin CxxTerminator crashed: SIGABRT in code it called"},
        {"CtorCrasher", ZO_TEST_PLUGIN_ctorCrasher, "Initialize=CtorCrasherInit\n", SIGSEGV,
         "Plugin CtorCrasher crashed: SIGSEGV during its Initialize"},
    };
    for (const tCrashCase& crash : cases) {
        SCOPED_TRACE(crash.plugin);
        const tFaultRun run = runWithPlugin(crash.plugin, crash.library, crash.entries);
        ASSERT_TRUE(run.end.signaled) << "exit code " << run.end.exitCode;
        EXPECT_EQ(crash.signal, run.end.signal);
        // A message line: before the plugins' blocks, after the empty line.
        const size_t line = run.status.find("\n" + std::string(crash.line) + "\n");
        EXPECT_NE(std::string::npos, line) << run.status;
        EXPECT_LT(line, run.status.find("Alpha")) << run.status;
        expectJournalNames(run, crash.plugin, crash.line);
    }
}

}  // namespace
