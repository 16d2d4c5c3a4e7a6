// What the service tells the service manager while it runs: the test stands
// in for the manager with a notification socket of its own, and runs the
// test variant with real plugin libraries against it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/DescriptionFile.h"
#include "support/NotifySocket.h"
#include "support/PluginCallLog.h"
#include "support/ServiceEnd.h"
#include "support/ServiceProcess.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;
using namespace std::chrono_literals;
using zotest::addDescriptions;
using zotest::tDescriptionFile;
using zotest::tNotifySocket;

const std::string kSleepyPlugin = ZO_TEST_PLUGIN_sleepy;

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
                          std::vector<std::string> environment = {})
        : socket(address), service({}, withSocketAndLog(std::move(environment))) {}

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
    EXPECT_TRUE(run.socket.waitFor(
        [&](const std::string& text) { return text == kWatchdog && ++fedWhileWaiting == 2; }, 3s))
        << socket.transcript();
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
    const zotest::ProcessEnd end = run.service.wait();
    EXPECT_TRUE(end.exited && end.exitCode == 0);
    EXPECT_EQ("", run.service.standardError());
    run.socket.receivePending();
    EXPECT_NE(-1, run.socket.indexOf("READY=1\nSTATUS=Failed to open plugins directory."))
        << run.socket.transcript();
}

}  // namespace
