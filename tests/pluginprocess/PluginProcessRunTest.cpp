// Plugins in processes of their own (Isolation=process), with the real
// service and plugin host: a crash or an exit of such a plugin ends only its
// own process, its dependents are stopped and, with Restart=on-failure,
// started again after it; a hung Stop is killed; a plugin runs as the user
// its description names; no plugin process outlives the service.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/LibraryShelf.h"
#include "support/NotifySocket.h"
#include "support/PluginCallLog.h"
#include "support/ServiceProcess.h"
#include "support/ShellCommand.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;
using namespace std::chrono_literals;

const std::string kCrashMark = std::string(ZO_TEST_BINARY_DIR) + "/crash-once.mark";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One plugin's description file; `more` holds further "Key=value\n" lines.
void describe(const zotest::TestRoot& root, const std::string& name, const std::string& library,
              const std::string& prefix, const std::string& more) {
    root.addDescription(name + ".ini", "[Service]\nName=" + name + "\nPath=" + library +
                                           "\nInitialize=" + prefix + "Init\nStop=" + prefix +
                                           "Stop\nCleanup=" + prefix + "Cleanup\n" + more);
}

// The service under a journal of the test's own, with the call log, while
// `act` runs; the journal is read on until the service has ended.
class tIsolationRun {
  public:
    tIsolationRun() : journal(zotest::TestRoot::journalSocket()) {
        const rlimit none{0, 0};  // the crashes under test need no core file
        setrlimit(RLIMIT_CORE, &none);
        unlink(kCrashMark.c_str());
    }
    ~tIsolationRun() { unlink(kCrashMark.c_str()); }

    void run(const std::function<void(zotest::ServiceProcess&)>& act) {
        std::atomic<bool> ended{false};
        const auto keep = [this](const std::string& datagram) {
            const std::lock_guard<std::mutex> hold(journalLock);
            journalText += datagram + "----\n";
            return false;
        };
        std::thread reader([&] {
            do {
                journal.waitFor(keep, 100ms);
            } while (!ended);
            journal.receivePending();
        });
        {
            // A sanitizer's SIGSEGV handler in a plugin's process would turn
            // the crash into its report and an exit status: the process dies
            // of the signal, as without it.
            zotest::ServiceProcess service(
                arguments, {"JOURNAL_STREAM=", log.environmentEntry(),
                            "ZO_TEST_PLUGIN_CRASH_MARK=" + kCrashMark, "ASAN_OPTIONS=handle_segv=0",
                            "TSAN_OPTIONS=handle_segv=0"});
            servicePid = service.pid();
            act(service);
            // Far above the few seconds any stop here takes, for a busy machine.
            end = service.wait(60s);
        }
        ended = true;
        reader.join();
        // Every record received, also those after the last wait.
        journalText.clear();
        for (const zotest::tNotification& datagram : journal.received()) {
            journalText += datagram.text + "----\n";
        }
        status = root.statusText();
        json = zotest::readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json");
        calls = log.calls();
    }

    bool journalTextHas(const std::string& part) {
        const std::lock_guard<std::mutex> hold(journalLock);
        return contains(journalText, part);
    }
    // Waits until a journal record holds `part`.
    bool waitForJournal(const std::string& part) {
        return zotest::waitFor([&] { return journalTextHas(part); });
    }
    bool waitForStatus(const std::string& part) {
        return zotest::waitForStatusContaining(root, part);
    }
    // The position of `call` in the call log, counting from `from`; -1 when absent.
    int callAt(const std::string& call, int from = 0) const {
        for (size_t i = static_cast<size_t>(from); i < calls.size(); ++i) {
            if (calls[i] == call) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    int count(const std::string& call) const {
        int times = 0;
        for (const std::string& line : calls) {
            times += line == call ? 1 : 0;
        }
        return times;
    }

    zotest::TestRoot root;
    zotest::tNotifySocket journal;
    zotest::tPluginCallLog log;
    std::vector<std::string> arguments;  // the service's command line
    pid_t servicePid = 0;
    zotest::ProcessEnd end;
    std::mutex journalLock;
    std::string journalText;  // every record, each followed by "----\n"
    std::string status, json;
    std::vector<std::string> calls;
};

// Alpha in the service's process, the isolated Crasher, and Dependent (in
// the service's process) which depends on it.
void layOutCrasher(const zotest::TestRoot& root, const std::string& library,
                   const std::string& prefix, const std::string& restart) {
    describe(root, "Alpha", kAlphaPlugin, "Alpha", "");
    describe(root, "Crasher", library, prefix, "Isolation=process\nRestart=" + restart + "\n");
    describe(root, "Dependent", kGammaPlugin, "Gamma", "Dependencies=Crasher\n");
}

bool serviceAlive(pid_t pid) {
    return kill(pid, 0) == 0;
}

TEST(PluginProcessRun, CrashAfterInitializeEndsOnlyItsProcessAndStopsItsDependents) {
    tIsolationRun run;
    layOutCrasher(run.root, ZO_TEST_PLUGIN_isoCrasher, "IsoCrasher", "no");
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("ended by SIGSEGV; not restarted (Restart=no)"));
        EXPECT_TRUE(serviceAlive(service.pid()));
        service.sendSignal(SIGTERM);
    });
    ASSERT_TRUE(run.end.signaled) << "exit code " << run.end.exitCode;
    EXPECT_EQ(SIGTERM, run.end.signal);
    EXPECT_TRUE(contains(run.status, "; dependents stopped: Dependent\n")) << run.status;
    EXPECT_TRUE(contains(run.status, "Plugin Crasher (process ")) << run.status;
    // The dependent was stopped at the crash, Alpha only by SIGTERM, each once.
    const int dependentStop = run.callAt("gamma Stop");
    ASSERT_GE(dependentStop, 0);
    EXPECT_EQ(dependentStop + 1, run.callAt("gamma Cleanup"));
    EXPECT_EQ(1, run.count("gamma Stop"));
    EXPECT_EQ(1, run.count("alpha Stop"));
    EXPECT_EQ(0, run.count("isoCrasher Stop"));
    EXPECT_TRUE(contains(run.json, "\"state\":\"ended\"")) << run.json;
    EXPECT_TRUE(contains(run.json, "\"kind\":\"pluginProcess\"")) << run.json;
    EXPECT_TRUE(contains(run.journalText, "PLUGIN=Crasher\n")) << run.journalText;
    EXPECT_TRUE(contains(run.journalText, "SIGNAL=SIGSEGV\n")) << run.journalText;
}

TEST(PluginProcessRun, RestartOnFailureStartsThePluginAndItsDependentsAgainThenStopsEachOnce) {
    tIsolationRun run;
    layOutCrasher(run.root, ZO_TEST_PLUGIN_isoCrashOnce, "IsoCrashOnce", "on-failure");
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("ended by SIGSEGV; restarting in 1 s"));
        const auto crashSeen = std::chrono::steady_clock::now();
        // Started again, and the dependent after it.
        ASSERT_TRUE(zotest::waitFor([&] {
            run.calls = run.log.calls();
            return run.count("gamma Initialize") == 2;
        }));
        // A back-off of one second, and a start: well within five.
        EXPECT_LT(std::chrono::steady_clock::now() - crashSeen, 5s);
        EXPECT_TRUE(serviceAlive(service.pid()));
        service.sendSignal(SIGTERM);
    });
    ASSERT_TRUE(run.end.signaled) << "exit code " << run.end.exitCode;
    const int again = run.callAt("isoCrashOnce Initialize", run.callAt("isoCrashOnce Initialize") + 1);
    ASSERT_GT(again, 0) << "never initialized again";
    EXPECT_GT(run.callAt("gamma Initialize", run.callAt("gamma Stop")), again);
    // The final stop: every plugin once, last started first.
    const int finalStop = run.callAt("gamma Stop", run.callAt("gamma Initialize", again));
    ASSERT_GE(finalStop, 0);
    EXPECT_EQ(finalStop + 1, run.callAt("isoCrashOnce Stop"));
    EXPECT_EQ(finalStop + 2, run.callAt("alpha Stop"));
    EXPECT_EQ(1, run.count("isoCrashOnce Stop"));
    EXPECT_EQ(1, run.count("alpha Stop"));
    EXPECT_TRUE(contains(run.json, "\"restarts\":1")) << run.json;
    EXPECT_TRUE(contains(run.journalText, "\nRESTARTS=1\nPROCESS_STATE=running\n")) << run.journalText;
    EXPECT_TRUE(contains(run.journalText, "MESSAGE=Plugin Crasher restarted (process ")) << run.journalText;
}

TEST(PluginProcessRun, ExitInIsolatedInitializeFailsThatStepAndRefusesItsDependents) {
    tIsolationRun run;
    describe(run.root, "Alpha", kAlphaPlugin, "Alpha", "");
    run.root.addDescription("Exiter.ini",
                            "[Service]\nName=Exiter\nPath=" + std::string(ZO_TEST_PLUGIN_exiter) +
                                "\nInitialize=ExiterInit\nIsolation=process\n");
    describe(run.root, "Dependent", kGammaPlugin, "Gamma", "Dependencies=Exiter\n");
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("Dependent (depends on Exiter)"));
        EXPECT_TRUE(serviceAlive(service.pid()));
        service.sendSignal(SIGTERM);
    });
    ASSERT_TRUE(run.end.signaled);
    EXPECT_TRUE(contains(run.status, "ExiterInit Code: -52041\n")) << run.status;
    EXPECT_TRUE(contains(run.status, "Init Code: -52006\n")) << run.status;
    EXPECT_TRUE(contains(run.status, ") exited with status 0 during Initialize\n")) << run.status;
    EXPECT_EQ(1, run.count("alpha Initialize"));
    EXPECT_EQ(0, run.count("gamma Initialize"));
}

TEST(PluginProcessRun, HungStopIsKilledAfterStopTimeoutAndTheStopGoesOn) {
    tIsolationRun run;
    describe(run.root, "Alpha", kAlphaPlugin, "Alpha", "");
    describe(run.root, "Hanger", ZO_TEST_PLUGIN_isoHanger, "IsoHanger",
             "Isolation=process\nStopTimeoutSec=2\nDependencies=Alpha\n");
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("Hanger (depends on Alpha)"));
        service.sendSignal(SIGTERM);
    });
    ASSERT_TRUE(run.end.signaled) << "exit code " << run.end.exitCode;
    EXPECT_EQ(SIGTERM, run.end.signal);
    EXPECT_TRUE(contains(run.status, "IsoHangerStop Code: -52042\n")) << run.status;
    EXPECT_TRUE(contains(run.status, ") killed after StopTimeoutSec=2 during Stop\n")) << run.status;
    EXPECT_GT(run.callAt("alpha Stop"), run.callAt("isoHanger Stop"));
    EXPECT_EQ(0, run.count("isoHanger Cleanup"));
}

TEST(PluginProcessRun, UserNobodyRunsWithItsIdsAndCannotBecomeRootAgain) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: only root can run a plugin as another user";
    }
    const std::string unreadable = zotest::unreadableFor(65534, 65534, ZO_TEST_PLUGIN_isoIdentity);
    if (!unreadable.empty()) {
        GTEST_SKIP() << unreadable;
    }
    tIsolationRun run;
    run.root.addDescription("Identity.ini", "[Service]\nName=Identity\nPath=" +
                                                std::string(ZO_TEST_PLUGIN_isoIdentity) +
                                                "\nInitialize=IsoIdentityInit\nIsolation=process\n"
                                                "User=nobody\n");
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForJournal("MESSAGE=isoIdentity Identity"));
        service.sendSignal(SIGTERM);
    });
    EXPECT_TRUE(contains(run.journalText, "MESSAGE=isoIdentity Identity euid=65534 egid=65534 regained=0\n"))
        << run.journalText;
    EXPECT_TRUE(contains(run.journalText, "SYSLOG_IDENTIFIER=Identity\n")) << run.journalText;
    EXPECT_TRUE(contains(run.json, "\"user\":\"nobody\"")) << run.json;
}

// The plugin processes of `service`: the children of its main thread, which
// spawns them.
std::vector<pid_t> childrenOf(pid_t service) {
    std::ifstream children("/proc/" + std::to_string(service) + "/task/" +
                           std::to_string(service) + "/children");
    std::vector<pid_t> pids;
    for (pid_t pid; children >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

bool processGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    // A zombie waits only for its new parent to reap it: it runs nothing.
    return !(stat >> pidText >> name >> state) || state == "Z";
}

TEST(PluginProcessRun, KilledServiceLeavesNoPluginProcess) {
    tIsolationRun run;
    describe(run.root, "Alpha", kAlphaPlugin, "Alpha", "Isolation=process\n");
    describe(run.root, "Zulu", kGammaPlugin, "Gamma", "Isolation=process\n");
    std::vector<pid_t> plugins;
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("Zulu (depends on )"));
        plugins = childrenOf(service.pid());
        service.sendSignal(SIGKILL);
    });
    ASSERT_EQ(2u, plugins.size());
    for (const pid_t plugin : plugins) {
        // The kernel sends the parent-death signal as the service goes; the
        // bound only allows for a busy machine.
        EXPECT_TRUE(zotest::waitFor([plugin] { return processGone(plugin); }, 2s))
            << "plugin process " << plugin << " outlived the service";
    }
}

// The JSON status and the metrics file as written while the plugin is
// given up, against the schema and promtool where they are installed.
void expectReportsValid(const std::string& json, const std::string& metricsFile) {
    std::string output;
    const std::string python = ZO_TEST_PYTHON3;
    if (python.empty() || zotest::runCommand(python + " -c 'import jsonschema'", output) != 0) {
        std::cout << "JSON schema not checked: python3-jsonschema is not installed\n";
    } else {
        EXPECT_EQ(0, zotest::runCommand(python + " -m jsonschema -i " + zotest::quoted(json) + " " +
                                            ZO_TEST_SCHEMA,
                                        output))
            << output;
    }
    if (std::string(ZO_TEST_PROMTOOL).empty()) {
        std::cout << "metrics not checked: promtool is not installed (Debian package prometheus)\n";
    } else {
        EXPECT_EQ(0, zotest::runCommand("promtool check metrics < " + zotest::quoted(metricsFile),
                                        output))
            << output;
    }
}

TEST(PluginProcessRun, CrashAtEveryStartIsGivenUpVisibly) {
    tIsolationRun run;
    layOutCrasher(run.root, ZO_TEST_PLUGIN_isoCrasher, "IsoCrasher", "on-failure");
    const std::string metrics = run.root.statusDirectory() + "/zokorvo.prom";
    const std::string json = run.root.statusDirectory() + "/zoKorvoRemoteService.status.json";
    const std::string kept = std::string(ZO_TEST_BINARY_DIR) + "/given-up.json";
    run.arguments = {"--metrics-file", metrics};
    std::string metricsText;
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("ended by SIGSEGV; given up after 4 restarts in 60 s"));
        EXPECT_TRUE(serviceAlive(service.pid()));
        // The JSON twin is replaced right after the text.
        std::string given;
        ASSERT_TRUE(zotest::waitFor([&] {
            given = zotest::readFile(json);
            return contains(given, "\"state\":\"given up\"");
        }));
        zotest::writeFile(kept, given);
        expectReportsValid(kept, metrics);
        metricsText = zotest::readFile(metrics);
        service.sendSignal(SIGTERM);
    });
    EXPECT_EQ(5, run.count("isoCrasher Initialize"));
    EXPECT_TRUE(contains(zotest::readFile(kept), "\"restarts\":4,\"state\":\"given up\""));
    EXPECT_TRUE(contains(metricsText, "zokorvo_plugin_process_restarts_total{plugin=\"Crasher\","))
        << metricsText;
    EXPECT_TRUE(contains(metricsText, ",state=\"given up\"} 1\n")) << metricsText;
    EXPECT_TRUE(contains(run.journalText, "PRIORITY=2\n")) << run.journalText;
    EXPECT_TRUE(contains(run.journalText, "PROCESS_STATE=given up\n")) << run.journalText;
}

// A change of the keys is a change of the description file; an isolated
// plugin whose file is the same is kept running, in the same process.
TEST(PluginProcessRun, ReloadRestartsAPluginWhoseKeysChangedAndKeepsTheOther) {
    tIsolationRun run;
    describe(run.root, "Alpha", kAlphaPlugin, "Alpha", "Isolation=process\n");
    describe(run.root, "Zulu", kGammaPlugin, "Gamma", "Isolation=process\n");
    std::vector<pid_t> before, after;
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("Zulu (depends on )"));
        before = childrenOf(service.pid());
        describe(run.root, "Alpha", kAlphaPlugin, "Alpha",
                 "Isolation=process\nRestart=on-failure\nStopTimeoutSec=5\n");
        service.sendSignal(SIGHUP);
        ASSERT_TRUE(zotest::waitFor([&] {
            return contains(zotest::readFile(run.root.statusDirectory() +
                                             "/zoKorvoRemoteService.status.json"),
                            "\"reload\":{");
        }));
        after = childrenOf(service.pid());
        service.sendSignal(SIGTERM);
    });
    EXPECT_EQ(2, run.count("alpha Initialize"));
    EXPECT_EQ(1, run.count("gamma Initialize"));
    EXPECT_EQ(2, run.count("alpha Stop"));
    ASSERT_EQ(2u, before.size());
    ASSERT_EQ(2u, after.size());
    // Zulu's process (started second) is the same one; Alpha's is new.
    EXPECT_NE(after.end(), std::find(after.begin(), after.end(), before[1]));
    EXPECT_EQ(after.end(), std::find(after.begin(), after.end(), before[0]));
}

// Root judges an isolated plugin's library as any other: one that another
// user could change is never mapped, not even its constructor runs.
TEST(PluginProcessRun, LibraryAnotherUserCouldChangeIsRefusedBeforeItsProcessStarts) {
    tIsolationRun run;
    const zotest::tLibraryShelf shelf(run.root);
    const std::string library = shelf.place(kAnnouncingPlugin, "announcing");
    chmod(library.c_str(), 0666);
    describe(run.root, "Announcing", library, "Announcing", "Isolation=process\n");
    describe(run.root, "Zulu", kGammaPlugin, "Gamma", "Dependencies=Announcing\n");
    run.run([&](zotest::ServiceProcess& service) {
        ASSERT_TRUE(run.waitForStatus("Zulu (depends on Announcing)"));
        service.sendSignal(SIGTERM);
    });
    EXPECT_TRUE(contains(run.status, "AnnouncingInit Code: -52026\n")) << run.status;
    EXPECT_TRUE(contains(run.status, "Unsafe plugin library: Announcing: " + library)) << run.status;
    EXPECT_TRUE(contains(run.status, "Init Code: -52006\n")) << run.status;
    EXPECT_EQ(0, run.count("announcing Constructor"));
}

TEST(PluginProcessRun, SettingsThatCannotBeTakenRefuseThePluginWithALine) {
    struct tCase {
        const char* keys;
        const char* line;
    } cases[] = {
        {"Isolation=thread\n", "Plugin process refused: Odd: Isolation=thread is neither"},
        {"User=nobody\n", "Plugin process refused: Odd: User= needs Isolation=process"},
        {"Isolation=process\nUser=no-such-user-here\n",
         "Plugin process refused: Odd: unknown user \"no-such-user-here\""},
        {"Isolation=process\nRestart=always\n", "Plugin process refused: Odd: Restart=always is"},
        {"Isolation=process\nStopTimeoutSec=0\n", "Plugin process refused: Odd: StopTimeoutSec=0 is"},
    };
    for (const tCase& refused : cases) {
        SCOPED_TRACE(refused.keys);
        tIsolationRun run;
        describe(run.root, "Odd", kAlphaPlugin, "Alpha", refused.keys);
        run.run([&](zotest::ServiceProcess& service) {
            ASSERT_TRUE(run.waitForStatus("AlphaInit Code: -52043"));
            service.sendSignal(SIGTERM);
        });
        EXPECT_TRUE(contains(run.status, refused.line)) << run.status;
        EXPECT_EQ(0, run.count("alpha Initialize"));
        // Refused, not failed: no process was made, so none is shown.
        EXPECT_TRUE(contains(run.json, "\"state\":\"refused\"")) << run.json;
        EXPECT_TRUE(contains(run.json, "\"process\":null")) << run.json;
    }
}

}  // namespace
