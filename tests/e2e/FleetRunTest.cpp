// What a fleet's monitoring reads of the running service, and whether it is
// true: a reload that could not be done in every report, a reload command
// that waits for the reload it asked for, metrics that go stale when the
// service dies and say so when they cannot be written, and the reload's
// answers when libraries are shared, held, renamed or written over.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "support/LibraryShelf.h"
#include "support/ServiceEnd.h"
#include "support/ServiceProcess.h"
#include "support/ShellCommand.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;

nlohmann::json statusJson(const zotest::TestRoot& root) {
    try {
        return nlohmann::json::parse(
            zotest::readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json"));
    } catch (const nlohmann::json::exception&) {
        return nlohmann::json::object();  // between the removal and the rename
    }
}

// The value of the metric line that starts with `series` ("name" or
// "name{labels}"), or -1 when there is none.
long long metric(const std::string& text, const std::string& series) {
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + series.size() + 2));
}

struct tCommandResult {
    int exitStatus;
    std::string output;
};

tCommandResult checker(const std::string& arguments) {
    tCommandResult result{};
    result.exitStatus = zotest::runCommand(std::string(ZO_TEST_CHECKER) + " " + arguments,
                                           result.output);
    return result;
}

// A description file `file` of the plugin `name` with the library `path`.
void describe(const zotest::TestRoot& root, const std::string& file, const std::string& name,
              const std::string& path, const std::string& more = "") {
    root.addDescription(file, "[Service]\nName=" + name + "\nPath=" + path + "\n" + more);
}

tCommandResult reloadAndWait(const zotest::ServiceProcess& service) {
    return checker("--reload " + std::to_string(service.pid()));
}

void expectMetricsPassPromtool(const std::string& metricsFile) {
    if (std::string(ZO_TEST_PROMTOOL).empty()) {
        return;  // the reports' own test skips, saying so
    }
    std::string output;
    EXPECT_EQ(0, zotest::runCommand(std::string(ZO_TEST_PROMTOOL) + " check metrics < " +
                                        zotest::quoted(metricsFile),
                                    output))
        << output;
}

TEST(FleetRun, AReloadThatCannotBeDoneFailsTheCommandAndShowsInEveryReport) {
    zotest::TestRoot root;
    describe(root, "a.ini", "A", kAlphaPlugin);
    const std::string metricsFile = root.statusDirectory() + "/zokorvo.prom";
    zotest::ServiceProcess service({"--metrics-file", metricsFile});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "A (depends on )"));
    ASSERT_TRUE(zotest::waitFor([&] { return zotest::fileExists(metricsFile); }));
    std::string metrics = zotest::readFile(metricsFile);
    EXPECT_EQ(1, metric(metrics, "zokorvo_last_reload_successful")) << metrics;
    const long long startedAt = metric(metrics, "zokorvo_start_time_seconds");
    EXPECT_LE(startedAt, metric(metrics, "zokorvo_last_reload_success_timestamp_seconds"));
    EXPECT_NE(std::string::npos, metrics.find("\nzokorvo_build_info{version=\"")) << metrics;

    tCommandResult reload = reloadAndWait(service);
    EXPECT_EQ(0, reload.exitStatus) << reload.output;
    EXPECT_EQ("Reload done: 1 kept, 0 stopped, 0 started, 0 refused, 0 failed\n", reload.output);

    const std::string aside = root.shareDirectory() + "/aside";
    ASSERT_EQ(0, rename(root.pluginsDirectory().c_str(), aside.c_str()));
    reload = reloadAndWait(service);
    EXPECT_EQ(1, reload.exitStatus) << reload.output;
    EXPECT_EQ(
        "Reload failed: Failed to open plugins directory.; the plugins run as before it\n",
        reload.output);
    const nlohmann::json status = statusJson(root);
    EXPECT_EQ(false, status["reload"]["successful"]) << status.dump();
    EXPECT_EQ("Failed to open plugins directory.", status["reload"]["failure"]);
    EXPECT_EQ("started", status["plugins"][0]["state"]);
    metrics = zotest::readFile(metricsFile);
    EXPECT_EQ(0, metric(metrics, "zokorvo_last_reload_successful")) << metrics;
    const long long lastGood = metric(metrics, "zokorvo_last_reload_success_timestamp_seconds");
    expectMetricsPassPromtool(metricsFile);
    const tCommandResult health = checker("--health");
    EXPECT_EQ(1, health.exitStatus) << health.output;
    EXPECT_EQ(0u, health.output.find("ZOKORVO WARNING - last reload failed: Failed to open "
                                     "plugins directory. (the plugins run as before it); 1 "
                                     "started, 0 refused, 0 failed |"))
        << health.output;

    ASSERT_EQ(0, rename(aside.c_str(), root.pluginsDirectory().c_str()));
    reload = reloadAndWait(service);
    EXPECT_EQ(0, reload.exitStatus) << reload.output;
    metrics = zotest::readFile(metricsFile);
    EXPECT_EQ(1, metric(metrics, "zokorvo_last_reload_successful")) << metrics;
    EXPECT_LE(lastGood, metric(metrics, "zokorvo_last_reload_success_timestamp_seconds"));
    EXPECT_EQ(0, checker("--health").exitStatus);
    service.sendSignal(SIGTERM);
    // A reload asked of a service that ends is not done.
    const tCommandResult ended = reloadAndWait(service);
    EXPECT_NE(0, ended.exitStatus) << ended.output;
    EXPECT_TRUE(service.wait().signaled);
}

TEST(FleetRun, AReloadAskedForDuringTheStartIsDoneAfterItAndWaitedFor) {
    zotest::TestRoot root;
    // SleepyInit holds the start for 3 s.
    describe(root, "sleepy.ini", "Sleepy", ZO_TEST_PLUGIN_sleepy, "Initialize=SleepyInit\n");
    zotest::ServiceProcess service;
    // Written once the directory was read and the permission asked, as
    // Sleepy's Initialize begins.
    ASSERT_TRUE(zotest::waitFor([&] {
        const nlohmann::json status = statusJson(root);
        return status.value("phase", "") == "starting" &&
               status["deployment"].value("attempts", 0) == 1;
    }));
    describe(root, "a.ini", "A", kAlphaPlugin);
    const tCommandResult reload = reloadAndWait(service);
    EXPECT_EQ(0, reload.exitStatus) << reload.output;
    EXPECT_EQ("Reload done: 1 kept, 0 stopped, 1 started, 0 refused, 0 failed\n", reload.output);
    EXPECT_NE(std::string::npos, root.statusText().find("A (depends on )"));
    EXPECT_EQ(2, checker("--reload 999999999 --timeout 1").exitStatus);
    zotest::stopBySignal(service);
}

TEST(FleetRun, TheHeartbeatRewritesTheMetricsUntilTheServiceIsKilled) {
    zotest::TestRoot root;
    describe(root, "a.ini", "A", kAlphaPlugin);
    const std::string metricsFile = root.statusDirectory() + "/zokorvo.prom";
    zotest::ServiceProcess service({"--metrics-file", metricsFile, "--metrics-interval", "1"});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "A (depends on )"));
    ASSERT_TRUE(zotest::waitFor([&] { return zotest::fileExists(metricsFile); }));
    const long long first =
        metric(zotest::readFile(metricsFile), "zokorvo_metrics_updated_timestamp_seconds");
    // Nothing happens to the service: only the heartbeat writes.
    long long later = first;
    EXPECT_TRUE(zotest::waitFor([&] {
        later = metric(zotest::readFile(metricsFile), "zokorvo_metrics_updated_timestamp_seconds");
        return later >= first + 2;
    }));
    expectMetricsPassPromtool(metricsFile);
    service.sendSignal(SIGKILL);
    service.wait();
    const std::string last = zotest::readFile(metricsFile);
    // Three intervals with no write: what the alert waits for.
    EXPECT_FALSE(zotest::waitFor([&] { return zotest::readFile(metricsFile) != last; },
                                 std::chrono::seconds(3)));
}

TEST(FleetRun, AMetricsFileThatCannotBeWrittenIsToldAndTakenBackWhenItCanBe) {
    zotest::TestRoot root;
    describe(root, "a.ini", "A", kAlphaPlugin);
    const std::string directory = root.root() + "/textfile";
    zotest::makeDirectories(directory);
    chmod(directory.c_str(), 0755);
    const std::string metricsFile = directory + "/zokorvo.prom";
    zotest::ServiceProcess service({"--metrics-file", metricsFile, "--metrics-interval", "1"});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "A (depends on )"));
    const auto metricsMessage = [&] {
        for (const nlohmann::json& message : statusJson(root).value("messages", nlohmann::json())) {
            if (message["kind"] == "metrics") {
                return true;
            }
        }
        return false;
    };
    zotest::removeTree(directory);
    ASSERT_TRUE(zotest::waitFor(metricsMessage));
    const tCommandResult health = checker("--health");
    EXPECT_EQ(1, health.exitStatus);
    EXPECT_EQ(0u, health.output.find("ZOKORVO WARNING - Failed to write metrics file: " +
                                     metricsFile + "; "))
        << health.output;
    zotest::makeDirectories(directory);
    chmod(directory.c_str(), 0755);
    EXPECT_TRUE(zotest::waitFor([&] { return !metricsMessage(); }));
    EXPECT_TRUE(zotest::fileExists(metricsFile));
    zotest::stopBySignal(service);
}

// The alerting rule the manual prints, as an administrator copies it.
TEST(FleetRun, TheManualsAlertingRulePassesPromtool) {
    if (std::string(ZO_TEST_PROMTOOL).empty()) {
        GTEST_SKIP() << "promtool is not installed";
    }
    const std::string manual = zotest::readFile(ZO_TEST_MANUAL);
    const size_t begin = manual.find("\ngroups:\n");
    ASSERT_NE(std::string::npos, begin);
    const std::string troff = manual.substr(begin + 1, manual.find("\n.fi\n", begin) - begin);
    // The page's escapes: "\-" is a minus, "\e" a backslash.
    const std::string rules = std::regex_replace(
        std::regex_replace(troff, std::regex(R"(\\-)"), "-"), std::regex(R"(\\e)"), "\\");
    EXPECT_NE(std::string::npos,
              rules.find("time() - zokorvo_metrics_updated_timestamp_seconds > 3 * 60"))
        << rules;
    const std::string file = std::string(ZO_TEST_BINARY_DIR) + "/zokorvo-rules.yml";
    zotest::writeFile(file, rules);
    std::string output;
    EXPECT_EQ(0, zotest::runCommand(std::string(ZO_TEST_PROMTOOL) + " check rules " +
                                        zotest::quoted(file),
                                    output))
        << output << rules;
    EXPECT_NE(std::string::npos, output.find("SUCCESS: 3 rules found")) << output;
}

TEST(FleetRun, MetricsIntervalTakesWholeSecondsFromOneToADay) {
    for (const char* wrong : {"0", "86401", "1.5", "x", "-3"}) {
        zotest::ServiceProcess service({"--metrics-interval", wrong});
        const zotest::ProcessEnd end = service.wait();
        EXPECT_TRUE(end.exited && end.exitCode == 1) << wrong;
        EXPECT_NE(std::string::npos, service.standardError().find("--metrics-interval"));
    }
}

// The reload's faults, each as an operator met it.

TEST(FleetRun, ALibraryTwoPluginsShareStartsBothAfterItIsReplaced) {
    zotest::TestRoot root;
    zotest::tLibraryShelf shelf(root);
    const std::string shared = shelf.place(kAlphaPlugin, "shared");
    describe(root, "one.ini", "One", shared);
    describe(root, "two.ini", "Two", shared);
    zotest::ServiceProcess service;
    ASSERT_TRUE(zotest::waitForPhase(root, "running"));
    shelf.place(kAlphaPlugin, "shared");
    const tCommandResult reload = reloadAndWait(service);
    EXPECT_EQ("Reload done: 0 kept, 0 stopped, 2 started, 0 refused, 0 failed\n", reload.output)
        << root.statusText();
    zotest::stopBySignal(service);
}

TEST(FleetRun, AnOldLibraryStillMappedIsNeverStartedAsTheNewVersion) {
    zotest::TestRoot root;
    zotest::tLibraryShelf shelf(root);
    // The resident library cannot be unloaded.
    describe(root, "resident.ini", "Resident", shelf.place(ZO_TEST_PLUGIN_resident, "resident"),
             "Initialize=ResidentInit\n");
    zotest::ServiceProcess service;
    ASSERT_TRUE(zotest::waitForPhase(root, "running"));
    shelf.place(ZO_TEST_PLUGIN_resident, "resident");
    for (int round = 0; round < 3; ++round) {
        const tCommandResult reload = reloadAndWait(service);
        EXPECT_EQ("Reload done: 0 kept, 0 stopped, 0 started, 0 refused, 1 failed\n",
                  reload.output)
            << "round " << round;
        const std::string status = root.statusText();
        EXPECT_NE(std::string::npos,
                  status.find("\nOld library still loaded, new version not started: Resident\n"))
            << "round " << round << "\n" << status;
        EXPECT_NE(std::string::npos, status.find("ResidentInit Code: -52005\n")) << status;
    }
    zotest::stopBySignal(service);
}

TEST(FleetRun, ReloadNamesThePluginsItStoppedForGoodByTheirName) {
    zotest::TestRoot root;
    describe(root, "a.ini", "A", kAlphaPlugin);
    zotest::ServiceProcess service;
    ASSERT_TRUE(zotest::waitForPhase(root, "running"));
    const std::string plugins = root.pluginsDirectory();
    const struct {
        std::string step;
        std::function<void()> change;
        nlohmann::json stopped;
    } rounds[] = {
        {"renamed, same Name",
         [&] { rename((plugins + "/a.ini").c_str(), (plugins + "/a2.ini").c_str()); },
         nlohmann::json::array()},
        {"Name changed",
         [&] { describe(root, "a2.ini", "B", kAlphaPlugin); },
         nlohmann::json::array({"A"})},
    };
    for (const auto& round : rounds) {
        round.change();
        EXPECT_EQ(0, reloadAndWait(service).exitStatus);
        EXPECT_EQ(round.stopped, statusJson(root)["reload"]["stopped"]) << round.step;
    }
    zotest::stopBySignal(service);
}

// Two plugins of one Name, a change of mode, a changed description and a
// library written over in place: the plan says what the reload then does.
TEST(FleetRun, TheReloadPlanAgreesWithTheReload) {
    zotest::TestRoot root;
    zotest::tLibraryShelf shelf(root);
    const std::string library = shelf.place(kAlphaPlugin, "alpha");
    // Two files describe the same Name: each plugin is its file's.
    describe(root, "a1.ini", "A", library);
    describe(root, "a2.ini", "A", kGammaPlugin);
    zotest::ServiceProcess service;
    ASSERT_TRUE(zotest::waitForPhase(root, "running"));
    // A change of mode is no change of the file the reload compares.
    ASSERT_EQ(0, chmod(library.c_str(), 0700));
    const tCommandResult plan = checker("--reload-plan");
    EXPECT_NE(std::string::npos, plan.output.find("Reload summary: 2 kept, 0 stopped, 0 started\n"))
        << plan.output;
    EXPECT_EQ("Reload done: 2 kept, 0 stopped, 0 started, 0 refused, 0 failed\n",
              reloadAndWait(service).output);
    describe(root, "a2.ini", "A", kGammaPlugin, "Requires=3\n");
    EXPECT_NE(std::string::npos, checker("--reload-plan")
                                     .output.find("Reload summary: 1 kept, 1 stopped, 1 started\n"));
    EXPECT_EQ("Reload done: 1 kept, 0 stopped, 1 started, 0 refused, 0 failed\n",
              reloadAndWait(service).output);

    // The same inode with a new modification time, as cp leaves it; the
    // bytes stay the same, so that the plugin's Stop still runs its own code.
    const timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, library.c_str(), times, 0));
    const std::string overwritten = checker("--reload-plan").output;
    EXPECT_NE(std::string::npos, overwritten.find("  stop \"A\": its library " + library +
                                                  " was written over in place"))
        << overwritten;
    EXPECT_EQ("Reload done: 1 kept, 0 stopped, 1 started, 0 refused, 0 failed\n",
              reloadAndWait(service).output);
    EXPECT_NE(std::string::npos,
              root.statusText().find(
                  "\nLibrary written over in place, not replaced by a rename: A\n"))
        << root.statusText();
    EXPECT_EQ(1, checker("--health").exitStatus);
    zotest::stopBySignal(service);
}

}  // namespace
