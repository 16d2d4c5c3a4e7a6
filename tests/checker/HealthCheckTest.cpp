// The health verdict on JSON statuses written by hand: each situation a
// monitoring system tells apart, with the service's liveness given.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Health.h"
#include "support/ServiceProcess.h"

namespace {

nlohmann::json plugin(const char* name, const char* state, int code) {
    const nlohmann::json notRun = {
        {"entry", nullptr}, {"code", 0}, {"codeName", nullptr}, {"ms", nullptr}};
    return {
        {"name", name},
        {"dependencies", nlohmann::json::array()},
        {"file", std::string("/p/") + name + ".ini"},
        {"library", "/l.so"},
        {"requires", 1},
        {"state", state},
        {"steps",
         {{"initialize", {{"entry", nullptr}, {"code", code}, {"codeName", nullptr}, {"ms", 0}}},
          {"stop", notRun},
          {"cleanup", notRun}}}};
}

nlohmann::json status(const char* phase, nlohmann::json plugins, int started, int refused,
                      int failed) {
    return {{"schema", 2},
            {"pid", 4242},
            {"phase", phase},
            {"plugins", std::move(plugins)},
            {"counts", {{"started", started}, {"refused", refused}, {"failed", failed}}}};
}

TEST(HealthCheck, EachSituationHasItsExitStatusAndLine) {
    const std::string directory = std::string(ZO_TEST_BINARY_DIR) + "/health";
    zotest::makeDirectories(directory);
    const std::string file = directory + "/zoKorvoRemoteService.status.json";
    const nlohmann::json started = plugin("A", "started", 0);
    const struct {
        std::string text;  // empty: no file
        bool alive;
        int exitStatus;
        std::string line;
    } cases[] = {
        {status("running", nlohmann::json::array({started, plugin("D", "refused", -52002)}), 1, 1,
                0)
             .dump(),
         true, 0, "ZOKORVO OK - 1 started, 1 refused, 0 failed | started=1 refused=1 failed=0\n"},
        {status("running", nlohmann::json::array({started, plugin("O", "refused", -52006)}), 1, 1,
                0)
             .dump(),
         true, 1,
         "ZOKORVO WARNING - plugin O refused (-52006); 1 started, 1 refused, 0 failed | "
         "started=1 refused=1 failed=0\n"},
        {status("running", nlohmann::json::array({plugin("B", "started", 3)}), 1, 0, 0).dump(),
         true, 1,
         "ZOKORVO WARNING - plugin B started with warning 3; 1 started, 0 refused, 0 failed | "
         "started=1 refused=0 failed=0\n"},
        {status("starting", nlohmann::json::array(), 0, 0, 0).dump(), true, 1,
         "ZOKORVO WARNING - the service is starting; 0 started, 0 refused, 0 failed | "
         "started=0 refused=0 failed=0\n"},
        {status("running", nlohmann::json::array({started, plugin("F", "failed", -7)}), 1, 0, 1)
             .dump(),
         true, 2,
         "ZOKORVO CRITICAL - plugin F failed (-7); 1 started, 0 refused, 1 failed | "
         "started=1 refused=0 failed=1\n"},
        {status("running", nlohmann::json::array({started}), 1, 0, 0).dump(), false, 2,
         "ZOKORVO CRITICAL - the service is not running (status says running); 1 started, 0 "
         "refused, 0 failed | started=1 refused=0 failed=0\n"},
        {status("stopped", nlohmann::json::array({plugin("A", "stopped", 0)}), 1, 0, 0).dump(),
         false, 2,
         "ZOKORVO CRITICAL - the service has stopped; 1 started, 0 refused, 0 failed | "
         "started=1 refused=0 failed=0\n"},
        {"", true, 2, "ZOKORVO CRITICAL - no status: " + file + " does not exist\n"},
        {"{\"schema\": 1}", true, 3, "ZOKORVO UNKNOWN - the status has another schema than 2\n"},
        {"ZO-Korvo Remote", true, 3, ""},
        {"{\"schema\": 2, \"phase\": \"running\"}", true, 3, ""},
    };
    for (const auto& test : cases) {
        unlink(file.c_str());
        if (!test.text.empty()) {
            zotest::writeFile(file, test.text);
        }
        const nPluginCheck::tHealth health =
            nPluginCheck::checkHealth(directory, [&test](pid_t pid) {
                EXPECT_EQ(4242, pid);
                return test.alive;
            });
        EXPECT_EQ(test.exitStatus, health.exitStatus) << test.text << "\n" << health.line;
        if (!test.line.empty()) {
            EXPECT_EQ(test.line, health.line);
        } else {
            EXPECT_EQ(0u, health.line.find("ZOKORVO UNKNOWN - ")) << health.line;
        }
    }
}

// The states a fleet must tell apart beyond the plugins' own: each problem
// named, the most severe first, in one line, with the exit status of the
// worst.
TEST(HealthCheck, EveryProblemIsNamedMostSevereFirst) {
    const std::string directory = std::string(ZO_TEST_BINARY_DIR) + "/health-problems";
    zotest::makeDirectories(directory);
    const std::string file = directory + "/zoKorvoRemoteService.status.json";
    const nlohmann::json started = plugin("A", "started", 0);
    const auto withUpdated = [](nlohmann::json status, const char* updated) {
        status["updated"] = updated;
        return status;
    };
    nlohmann::json failedReload = status("running", nlohmann::json::array({started}), 1, 0, 0);
    failedReload["reload"] = {{"successful", false},
                              {"failure", "Failed to open plugins directory."}};
    failedReload["messages"] = nlohmann::json::array(
        {{{"kind", "pluginsDirectory"}, {"text", "Failed to open plugins directory."}}});
    nlohmann::json several = status(
        "running", nlohmann::json::array({plugin("W", "started", 2), plugin("F", "failed", -7)}), 1,
        0, 1);
    several["messages"] = nlohmann::json::array(
        {{{"kind", "descriptionParse"}, {"path", "/p/x.ini"}, {"text", "Failed to parse"}},
         {{"kind", "metrics"}, {"path", "/m.prom"}, {"text", "Failed to write metrics file: /m.prom"}},
         {{"kind", "descriptionUnsafe"}, {"path", "/p/u.ini"}, {"text", "Unsafe"}}});
    const struct {
        nlohmann::json status;
        std::vector<std::string> expected;
        int exitStatus;
        std::string problems;
    } cases[] = {
        {withUpdated(status("stopping", nlohmann::json::array({started}), 1, 0, 0),
                     "2026-12-09T10:00:00.000Z"),
         {}, 1, "the service is stopping; "},
        // The stop has run 121 s, past the start step limit of 120 s.
        {withUpdated(status("stopping", nlohmann::json::array({started}), 1, 0, 0),
                     "2026-12-09T09:57:59.000Z"),
         {}, 2, "the service has been stopping for 121 s, longer than 120 s; "},
        {failedReload, {}, 1,
         "last reload failed: Failed to open plugins directory. (the plugins run as before it); "},
        {status("running", nlohmann::json::array({started}), 1, 0, 0), {"A", "B"}, 2,
         "expected plugin B not described; "},
        {status("running", nlohmann::json::array({started, plugin("B", "refused", -52002)}), 1, 1,
                0),
         {"B"}, 2, "expected plugin B is refused; "},
        {several, {}, 2,
         "plugin F failed (-7); plugin W started with warning 2; description file /p/x.ini does "
         "not parse: its plugin is not started; Failed to write metrics file: /m.prom; "
         "description file /p/u.ini is unsafe: its plugin is not started; "},
    };
    for (const auto& test : cases) {
        zotest::writeFile(file, test.status.dump());
        nPluginCheck::tHealthOptions options;
        options.expected = test.expected;
        options.now = [] { return time_t{1796810400}; };  // 2026-12-09T10:00:00Z
        const nPluginCheck::tHealth health =
            nPluginCheck::checkHealth(directory, [](pid_t) { return true; }, options);
        EXPECT_EQ(test.exitStatus, health.exitStatus) << health.line;
        const char* names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
        EXPECT_EQ(0u, health.line.find(std::string("ZOKORVO ") + names[test.exitStatus] + " - " +
                                       test.problems))
            << health.line;
        EXPECT_EQ(health.line.size() - 1, health.line.find('\n'));
    }
}

}  // namespace

namespace {

// An isolated plugin's process state decides, not its message lines: a
// plugin that was restarted and runs again is well.
TEST(HealthCheck, IsolatedPluginRestartingWarnsAndGivenUpOrEndedIsCritical) {
    const std::string directory = std::string(ZO_TEST_BINARY_DIR) + "/health-process";
    zotest::makeDirectories(directory);
    const std::string file = directory + "/zoKorvoRemoteService.status.json";
    const struct {
        const char* state;
        int exitStatus;
        const char* problem;
    } cases[] = {
        {"running", 0, nullptr},
        {"restarting", 1, "plugin P is restarting after its process ended (2 restarts so far)"},
        {"given up", 2, "plugin P was given up: its process ended after 2 restarts"},
        {"ended", 2, "plugin P is down: its process ended (Restart=no)"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.state);
        nlohmann::json isolated = plugin("P", "started", 0);
        isolated["process"] = {{"pid", 77}, {"user", "nobody"}, {"restarts", 2}, {"state", test.state}};
        nlohmann::json written = status("running", nlohmann::json::array({isolated}), 1, 0, 0);
        written["messages"] = nlohmann::json::array(
            {{{"kind", "pluginProcess"}, {"plugin", "P"}, {"text", "Plugin P (process 76) ended"}}});
        zotest::writeFile(file, written.dump());
        const nPluginCheck::tHealth health =
            nPluginCheck::checkHealth(directory, [](pid_t) { return true; });
        EXPECT_EQ(test.exitStatus, health.exitStatus) << health.line;
        if (test.problem != nullptr) {
            EXPECT_NE(std::string::npos, health.line.find(test.problem)) << health.line;
        }
        EXPECT_EQ(std::string::npos, health.line.find("(process 76)")) << health.line;
    }
}

}  // namespace
