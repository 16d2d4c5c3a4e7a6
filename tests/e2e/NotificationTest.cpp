// What the service tells the service manager while it runs: the test stands
// in for the manager with a notification socket of its own, and runs the
// test variant with real plugin libraries against it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/DescriptionFile.h"
#include "support/NotifySocket.h"
#include "support/PluginCallLog.h"
#include "support/ServiceEnd.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;
using namespace std::chrono_literals;
using zotest::addDescriptions;
using zotest::tDescriptionFile;
using zotest::tNotifySocket;

const std::string kSleepyPlugin = ZO_TEST_PLUGIN_sleepy;
const std::string kWatchfulPlugin = ZO_TEST_PLUGIN_watchful;

// Threads the runtime itself may add to every process of this build.
#ifdef __SANITIZE_THREAD__
constexpr int kRuntimeThreads = 1;  // ThreadSanitizer's background thread
#else
constexpr int kRuntimeThreads = 0;
#endif

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The number of threads the process runs now.
int threadCountOf(pid_t pid) {
    int count = 0;
    DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    for (dirent* entry = tasks ? readdir(tasks) : nullptr; entry != nullptr;
         entry = readdir(tasks)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    if (tasks != nullptr) {
        closedir(tasks);
    }
    return count;
}

// A run of the test variant that notifies `socket`, with the plugins' call log.
struct tNotifiedRun {
    explicit tNotifiedRun(tNotifySocket::tAddress address = tNotifySocket::tAddress::file,
                          std::vector<std::string> environment = {},
                          std::vector<std::string> arguments = {})
        : socket(address),
          service(std::move(arguments), withSocketAndLog(std::move(environment))) {}

    ::testing::AssertionResult waitForReady() {
        if (socket.waitFor([](const std::string& text) { return startsWith(text, "READY=1\n"); })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "no READY=1 in:\n" << socket.transcript();
    }

    tNotifySocket socket;
    zotest::tPluginCallLog log;
    zotest::ServiceProcess service;

  private:
    std::vector<std::string> withSocketAndLog(std::vector<std::string> environment) const {
        environment.push_back(socket.environmentEntry());
        environment.push_back(log.environmentEntry());
        return environment;
    }
};

const std::string kWatchdog = "WATCHDOG=1";
const std::string kExtension = "EXTEND_TIMEOUT_USEC=10000000";

// How many messages `text` arrived after message `first` and before `last`.
int countBetween(const tNotifySocket& socket, const std::string& text, int first, int last) {
    int count = 0;
    for (int i = first + 1; i < last; ++i) {
        count += socket.received()[static_cast<size_t>(i)].text == text ? 1 : 0;
    }
    return count;
}

int countAfter(const tNotifySocket& socket, const std::string& text, int first) {
    return countBetween(socket, text, first, static_cast<int>(socket.received().size()));
}

bool hasStopCall(const std::vector<std::string>& calls) {
    for (const std::string& call : calls) {
        if (call.find(" Stop") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(Notification, ReadyFollowsTheStatusFileWithTheCountsAndStoppingPrecedesTheFirstStop) {
    zotest::TestRoot root;
    addDescriptions(root, {
                              {"Alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"},
                              {"Failing", kFailingPlugin, "FailingInit"},
                              {"Lost", root.root() + "/no-such-plugin.so", "LostInit"},
                              {"NeedsMissing", kGammaPlugin, "GammaInit", "", "", "Missing"},
                              {"Warn", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup"},
                              {"Zero", kGammaPlugin, "", "", "", "", "0"},
                          });
    tNotifiedRun run(tNotifySocket::tAddress::abstract);
    ASSERT_TRUE(run.waitForReady());
    // The status file was complete before readiness was sent.
    const std::string status = root.statusText();
    for (const char* name : {"Alpha", "Failing", "Lost", "NeedsMissing", "Warn", "Zero"}) {
        EXPECT_NE(std::string::npos, status.find(std::string(name) + " (depends on "))
            << name << " in:\n"
            << status;
    }
    EXPECT_EQ("READY=1\nSTATUS=Plugins: 2 started, 2 refused, 2 failed",
              run.socket.received().back().text);
    EXPECT_FALSE(hasStopCall(run.log.calls()));

    run.service.sendSignal(SIGTERM);
    ASSERT_TRUE(zotest::waitFor([&] { return hasStopCall(run.log.calls()); }));
    // Sent before the first Stop was called, so it is here by now.
    run.socket.receivePending();
    EXPECT_LT(run.socket.indexOf("READY=1\nSTATUS=Plugins: 2 started, 2 refused, 2 failed"),
              run.socket.indexOf("STOPPING=1\nSTATUS=Stopping plugins"))
        << run.socket.transcript();
    zotest::stopBySignal(run.service);
}

TEST(Notification, SlowInitializeIsNamedWhileItRuns) {
    zotest::TestRoot root;
    addDescriptions(root, {
                              {"Alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"},
                              {"Sleepy", kSleepyPlugin, "SleepyInit"},
                          });
    tNotifiedRun run;
    ASSERT_TRUE(run.waitForReady());
    const int ready = static_cast<int>(run.socket.received().size()) - 1;
    // Told first, before the plugins directory is read.
    EXPECT_EQ("STATUS=Starting plugins", run.socket.received().front().text)
        << run.socket.transcript();
    for (const char* seconds : {"1", "2"}) {
        const std::string progress =
            std::string("STATUS=Initialize of plugin Sleepy running for ") + seconds + " s";
        const int index = run.socket.indexOf(progress);
        EXPECT_TRUE(index >= 0 && index < ready) << progress << " in:\n" << run.socket.transcript();
    }
    EXPECT_EQ("READY=1\nSTATUS=Plugins: 2 started, 0 refused, 0 failed",
              run.socket.received().back().text);
    // The slow start keeps its start timeout extended; a ready one needs none.
    const int slow = run.socket.indexOf("STATUS=Initialize of plugin Sleepy running for 1 s");
    EXPECT_LT(0, countBetween(run.socket, kExtension, slow, ready)) << run.socket.transcript();
    EXPECT_EQ(0, countAfter(run.socket, kExtension, ready)) << run.socket.transcript();
    zotest::stopBySignal(run.service);
}

TEST(Notification, WatchdogAndStartTimeoutAreLeftHungryWhileOneStepOutlastsTheInterval) {
    zotest::TestRoot root;
    addDescriptions(root, {{"Sleepy", kSleepyPlugin, "SleepyInit", "SleepyStop"}});
    // An interval of 1 s: fed every half second while healthy. The plugin's
    // Initialize and Stop each hold the service for 3 s.
    tNotifiedRun run(tNotifySocket::tAddress::file, {"WATCHDOG_USEC=1000000"});
    ASSERT_TRUE(run.waitForReady());
    const zotest::tNotifySocket& socket = run.socket;
    const int initializeSlow = socket.indexOf("STATUS=Initialize of plugin Sleepy running for 1 s");
    const int initializeStuck =
        socket.indexOf("STATUS=Initialize of plugin Sleepy running for 2 s");
    ASSERT_TRUE(initializeSlow >= 0 && initializeStuck > initializeSlow) << socket.transcript();
    EXPECT_LT(0, countBetween(socket, kWatchdog, -1, initializeSlow)) << socket.transcript();
    EXPECT_LT(0, countBetween(socket, kExtension, -1, initializeSlow)) << socket.transcript();
    EXPECT_EQ(0, countBetween(socket, kWatchdog, initializeSlow, initializeStuck))
        << socket.transcript();
    EXPECT_EQ(0, countBetween(socket, kExtension, initializeSlow, initializeStuck))
        << socket.transcript();

    int fedWhileWaiting = 0;
    EXPECT_TRUE(run.socket.waitFor([&](const std::string& text) {
        return text == kWatchdog && ++fedWhileWaiting == 2;
    })) << socket.transcript();
    run.service.sendSignal(SIGTERM);
    EXPECT_TRUE(run.socket.waitForText("STATUS=Stop of plugin Sleepy running for 2 s"))
        << socket.transcript();
    const int stopSlow = socket.indexOf("STATUS=Stop of plugin Sleepy running for 1 s");
    const int stopStuck = socket.indexOf("STATUS=Stop of plugin Sleepy running for 2 s");
    EXPECT_LT(socket.indexOf("STOPPING=1\nSTATUS=Stopping plugins"), stopSlow);
    EXPECT_EQ(0, countBetween(socket, kWatchdog, stopSlow, stopStuck)) << socket.transcript();
    EXPECT_EQ(0,
              countAfter(socket, kExtension,
                         socket.indexOf("READY=1\nSTATUS=Plugins: 1 started, 0 refused, 0 failed")))
        << socket.transcript();
    zotest::stopBySignal(run.service);
}

TEST(Notification, NotifierThreadExistsOnlyWithANotifySocket) {
    zotest::TestRoot root;
    addDescriptions(root, {{"Alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}});
    struct tCase {
        const char* what;
        std::vector<std::string> environment;
        int threads;  // besides the runtime's own
    };
    // An empty NOTIFY_SOCKET is none: the service manager did not ask.
    for (const tCase& test : {tCase{"without", {"NOTIFY_SOCKET="}, 2}, tCase{"with", {}, 3}}) {
        zotest::tPluginCallLog log;
        std::vector<std::string> environment = test.environment;
        environment.push_back(log.environmentEntry());
        tNotifySocket socket;
        if (test.environment.empty()) {
            environment.push_back(socket.environmentEntry());
        }
        zotest::ServiceProcess service({}, environment);
        ASSERT_TRUE(zotest::waitFor([&] { return !log.calls().empty(); })) << test.what;
        // Initialize has run; the stop thread was started before the run cycle.
        const int threads = threadCountOf(service.pid());
        EXPECT_EQ(test.threads + kRuntimeThreads, threads) << test.what;
        zotest::stopBySignal(service);
    }
}

TEST(Notification, MissingPluginsDirectoryIsReportedBeforeTheServiceEnds) {
    zotest::TestRoot root;
    zotest::removeTree(root.shareDirectory());
    tNotifiedRun run;
    ASSERT_TRUE(run.waitForReady());
    // The status file said so first.
    EXPECT_NE(std::string::npos, root.statusText().find("Failed to open plugins directory.\n"));
    const zotest::ProcessEnd end = run.service.wait();
    EXPECT_TRUE(end.exited && end.exitCode == 0);
    EXPECT_EQ("", run.service.standardError());
    EXPECT_EQ("READY=1\nSTATUS=Failed to open plugins directory.",
              run.socket.received().back().text);
}

// A manager that reads nothing (its queue full) holds nothing: the service
// starts, and stops in order on the signal.
TEST(Notification, SocketThatIsNeverReadHoldsNothing) {
    zotest::TestRoot root;
    addDescriptions(root, {
                              {"Alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"},
                              {"Sleepy", kSleepyPlugin, "SleepyInit"},
                              {"Zeta", kBetaPlugin, "BetaInit", "BetaStop", "BetaCleanup"},
                          });
    tNotifySocket socket;
    socket.fillQueue();
    zotest::tPluginCallLog log;
    zotest::ServiceProcess service({}, {socket.environmentEntry(), log.environmentEntry()});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "Zeta (depends on ")) << root.statusText();
    service.sendSignal(SIGTERM);
    const zotest::ProcessEnd end = service.wait();
    ASSERT_FALSE(end.timedOut) << "the service hung";
    EXPECT_TRUE(end.signaled && end.signal == SIGTERM);
    EXPECT_EQ(
        (std::vector<std::string>{"alpha Initialize", "sleepy Initialize", "beta Initialize",
                                  "beta Stop", "alpha Stop", "beta Cleanup", "alpha Cleanup"}),
        log.calls());
}

// A manager that fell behind still learns of the readiness once it reads
// again: what it did not take is sent once more, the next second.
TEST(Notification, ReadinessIsRepeatedUntilASocketThatFellBehindTakesIt) {
    zotest::TestRoot root;
    addDescriptions(root, {{"Alpha", kAlphaPlugin, "AlphaInit", "AlphaStop", "AlphaCleanup"}});
    tNotifySocket socket;
    socket.fillQueue();
    zotest::ServiceProcess service({}, {socket.environmentEntry()});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "Alpha (depends on ")) << root.statusText();
    std::this_thread::sleep_for(1500ms);
    const std::string ready = "READY=1\nSTATUS=Plugins: 1 started, 0 refused, 0 failed";
    socket.receivePending();
    EXPECT_TRUE(socket.indexOf(ready) >= 0 || socket.waitForText(ready)) << socket.transcript();
    zotest::stopBySignal(service);
}

// From the signal on, the stop is the manager's to bound: STOPPING=1 goes out
// while the slow Initialize still runs, and no start timeout is extended. The
// plugin never sees the manager's variables, whatever they are.
TEST(Notification, StopDuringASlowInitializeIsAnnouncedAtOnceAndEndsTheExtensions) {
    zotest::TestRoot root;
    addDescriptions(
        root, {{"Watchful", kWatchfulPlugin, "WatchfulInit", "WatchfulStop", "WatchfulCleanup"}});
    tNotifiedRun run(tNotifySocket::tAddress::file, {"WATCHDOG_USEC=60000000", "WATCHDOG_PID=1"});
    ASSERT_TRUE(zotest::waitFor([&] { return !run.log.calls().empty(); }));
    ASSERT_TRUE(run.socket.waitForText(kExtension)) << run.socket.transcript();
    ASSERT_TRUE(run.socket.waitForText("STATUS=Initialize of plugin Watchful running for 1 s"))
        << run.socket.transcript();
    run.service.sendSignal(SIGTERM);
    EXPECT_TRUE(run.socket.waitForText("STOPPING=1\nSTATUS=Stopping plugins"))
        << run.socket.transcript();
    EXPECT_EQ((std::vector<std::string>{"watchful Initialize"}), run.log.calls())
        << "announced while Initialize still runs";
    const zotest::ProcessEnd end = run.service.wait();
    EXPECT_TRUE(end.signaled && end.signal == SIGTERM);
    run.socket.receivePending();
    const int stopping = run.socket.indexOf("STOPPING=1\nSTATUS=Stopping plugins");
    EXPECT_EQ(0, countAfter(run.socket, kExtension, stopping)) << run.socket.transcript();
    EXPECT_EQ(-1, run.socket.indexOf("READY=1\nSTATUS=Plugins: 1 started, 0 refused, 0 failed"))
        << run.socket.transcript();
    // Neither the variables nor the watchdog of another process reach the plugin.
    EXPECT_EQ(0, countAfter(run.socket, kWatchdog, -1)) << run.socket.transcript();
    EXPECT_EQ(
        (std::vector<std::string>{"watchful Initialize", "watchful Stop", "watchful Cleanup"}),
        run.log.calls());
}

TEST(Notification, LongPluginNameIsShortenedToFitOneDatagram) {
    zotest::TestRoot root;
    const std::string name = "Sleepy" + std::string(6000, 'n');
    root.addDescription("sleepy.ini", tDescriptionFile{name, kSleepyPlugin, "SleepyInit"}.text());
    tNotifiedRun run;
    ASSERT_TRUE(run.socket.waitFor([](const std::string& text) {
        return startsWith(text, "STATUS=Initialize of plugin Sleepy");
    })) << run.socket.transcript();
    const std::string progress = run.socket.received().back().text;
    EXPECT_GE(4096u, progress.size());
    EXPECT_NE(std::string::npos, progress.find("nnn... running for 1 s")) << progress;
    zotest::stopBySignal(run.service);
}

// A plugin step that outlasts the start step limit stops the extensions, so
// the manager's start timeout can end a start that hangs.
TEST(Notification, HungInitializeStopsExtendingTheStartAfterTheLimit) {
    zotest::TestRoot root;
    addDescriptions(root, {{"Sleepy", kSleepyPlugin, "SleepyInit"}});
    tNotifiedRun run(tNotifySocket::tAddress::abstract, {}, {"--start-step-limit", "1"});
    ASSERT_TRUE(run.waitForReady());
    const tNotifySocket& socket = run.socket;
    const int slow = socket.indexOf("STATUS=Initialize of plugin Sleepy running for 1 s");
    ASSERT_LT(0, slow) << socket.transcript();
    // Until the step is over, when the status no longer names it: after it,
    // a start that makes progress again is extended again.
    int stepOver = slow + 1;
    while (static_cast<size_t>(stepOver) < socket.received().size() &&
           (socket.received()[static_cast<size_t>(stepOver)].text.rfind("STATUS=", 0) != 0 ||
            socket.received()[static_cast<size_t>(stepOver)].text.find("running for") !=
                std::string::npos)) {
        ++stepOver;
    }
    EXPECT_LT(0, countBetween(socket, kExtension, -1, slow)) << socket.transcript();
    EXPECT_EQ(0, countBetween(socket, kExtension, slow, stepOver)) << socket.transcript();
    zotest::stopBySignal(run.service);
}

}  // namespace
