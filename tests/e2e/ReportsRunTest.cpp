// The reports for programs, as the running service writes them: the JSON
// status against its shipped schema and against the text status, the
// metrics file through promtool and a real node_exporter, the checker's
// health verdict on the running service, and what they say of a reload.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reports/StatusJson.h"
#include "reports/TextEscaping.h"
#include "support/LibraryShelf.h"
#include "support/PluginCallLog.h"
#include "support/ServiceProcess.h"
#include "support/ShellCommand.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;

// Quotes, a backslash, a line feed and bytes that are no UTF-8; the Name
// cannot hold a line feed (a description file is read line by line), its
// file name can.
const std::string kOddName = "Q\"uo\\te \xFE\xFF end";
const std::string kOddFile = "o\"dd\\\nfile \xC3\x28.ini";

// Started (Alpha; Beta with warning 3), refused (-52002, -52006), failed
// (-7), one odd plugin, and a file that fails to parse.
void addMixedPlugins(const zotest::TestRoot& root) {
    root.addDescription("alpha.ini", "[Service]\nName=Alpha\nPath=" + kAlphaPlugin +
                                         "\nInitialize=AlphaInit\nStop=AlphaStop\n"
                                         "Cleanup=AlphaCleanup\n");
    root.addDescription("beta.ini", "[Service]\nName=Beta\nDependencies=Alpha\nPath=" +
                                        kBetaPlugin + "\nInitialize=BetaInit\n");
    root.addDescription("deployer.ini",
                        "[Service]\nName=Deployer\nRequires=2\nPath=" + kGammaPlugin + "\n");
    root.addDescription("orphan.ini", "[Service]\nName=Orphan\nDependencies=Missing, Alpha\nPath=" +
                                          kGammaPlugin + "\n");
    root.addDescription("failing.ini", "[Service]\nName=Failing\nPath=" + kFailingPlugin +
                                           "\nInitialize=FailingInit\n");
    root.addDescription(kOddFile, "[Service]\nName=" + kOddName + "\nPath=" + kGammaPlugin +
                                      "\nInitialize=GammaInit\n");
    root.addDescription("broken.ini", "[Service]\n\nName=Broken\n");
}

nlohmann::json readStatusJson(const zotest::TestRoot& root) {
    return nlohmann::json::parse(
        zotest::readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json"));
}

std::string validUtf8(const std::string& text) {
    std::string valid;
    appendValidUtf8(valid, text);
    return valid;
}

// The text status as it must read after its "Updated:" line, rendered from
// the JSON status: equal texts mean every field agrees.
std::string textFromJson(const nlohmann::json& status) {
    char mask[16];
    snprintf(mask, sizeof mask, "0x%x", status["deployment"]["mask"].get<unsigned>());
    std::string text = std::string("Allowed: ") + mask + "\n";
    if (!status["initTimeMs"].is_null()) {
        text += "Init Time " + std::to_string(status["initTimeMs"].get<uint64_t>()) + " ms\n";
    }
    text += "\n";
    for (const nlohmann::json& message : status["messages"]) {
        text += message["text"].get<std::string>() + "\n";
    }
    for (const nlohmann::json& plugin : status["plugins"]) {
        text += plugin["name"].get<std::string>() + " (depends on ";
        const char* separator = "";
        for (const nlohmann::json& dependency : plugin["dependencies"]) {
            text += separator + dependency.get<std::string>();
            separator = ", ";
        }
        text += ")\nLoaded From: " + plugin["library"].get<std::string>() +
                "\nRequires: " + std::to_string(plugin["requires"].get<uint32_t>()) + "\n";
        const struct {
            const char* step;
            const char* label;
        } steps[] = {{"initialize", "Init"}, {"stop", "Stop"}, {"cleanup", "Cleanup"}};
        for (const auto& each : steps) {
            const nlohmann::json& step = plugin["steps"][each.step];
            const int code = step["code"].get<int>();
            const uint64_t ms = step["ms"].is_null() ? 0 : step["ms"].get<uint64_t>();
            if (ms == 0 && code == 0) {
                continue;
            }
            const std::string label =
                step["entry"].is_null() ? each.label : step["entry"].get<std::string>();
            text += label + " Time: " + std::to_string(ms) + " ms\n" + label +
                    " Code: " + std::to_string(code) + "\n";
        }
        text += "\n";
    }
    return text;
}

// The text's "Updated:" line for the JSON's "updated" time: the same second.
std::string updatedLineFromJson(const nlohmann::json& status) {
    struct tm utc {};
    strptime(status["updated"].get<std::string>().c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
    const time_t updated = timegm(&utc);
    char text[32];
    return std::string("Updated: ") + ctime_r(&updated, text);
}

// The text status from its "Allowed:" line on, as valid UTF-8.
std::string textAfterUpdated(const zotest::TestRoot& root) {
    const std::string text = validUtf8(root.statusText());
    const size_t allowed = text.find("\nAllowed: ");
    return allowed == std::string::npos ? text : text.substr(allowed + 1);
}

using zotest::quoted;
using zotest::runCommand;

// Why the JSON schema cannot be checked here, naming the tool and its
// Debian package; empty when it can.
std::string schemaCheckerMissing() {
    static const std::string missing = [] {
        std::string output;
        if (std::string(ZO_TEST_PYTHON3).empty()) {
            return std::string("python3 is not installed (Debian package python3)");
        }
        if (runCommand(std::string(ZO_TEST_PYTHON3) + " -c 'import jsonschema'", output) != 0) {
            return std::string(
                "Python's jsonschema module is not installed (Debian package python3-jsonschema)");
        }
        return std::string();
    }();
    return missing;
}

// Likewise for promtool, and for promtool or node_exporter.
std::string promtoolMissing() {
    return std::string(ZO_TEST_PROMTOOL).empty()
               ? "promtool is not installed (Debian package prometheus)"
               : "";
}

std::string metricsToolsMissing() {
    std::string missing = promtoolMissing();
    if (std::string(ZO_TEST_NODE_EXPORTER).empty()) {
        missing += std::string(missing.empty() ? "" : "; ") +
                   "prometheus-node-exporter is not installed (Debian package "
                   "prometheus-node-exporter)";
    }
    return missing;
}

#define ZOTEST_SKIP_WHEN_MISSING(missing)                  \
    if (const std::string why = (missing); !why.empty()) { \
        GTEST_SKIP() << why;                               \
    }

void expectValidAgainstSchema(const zotest::TestRoot& root) {
    std::string output;
    EXPECT_EQ(0,
              runCommand(std::string(ZO_TEST_PYTHON3) + " -m jsonschema -i " +
                             quoted(root.statusDirectory() + "/zoKorvoRemoteService.status.json") +
                             " " + ZO_TEST_SCHEMA,
                         output))
        << output;
}

const nlohmann::json* pluginNamed(const nlohmann::json& status, const std::string& name) {
    for (const nlohmann::json& plugin : status["plugins"]) {
        if (plugin["name"] == name) {
            return &plugin;
        }
    }
    return nullptr;
}

TEST(ReportsRun, JsonStatusAgreesWithTheTextAndItsSchemaFromStartToStop) {
    ZOTEST_SKIP_WHEN_MISSING(schemaCheckerMissing());
    zotest::TestRoot root;
    addMixedPlugins(root);
    zotest::ServiceProcess service({}, {"ZOSYSAPI_DEPLOYMENT=0"});
    // The JSON status follows the text at each write.
    ASSERT_TRUE(zotest::waitForPhase(root, "running"));
    nlohmann::json status = readStatusJson(root);
    EXPECT_EQ(kStatusJsonSchema, status["schema"]);
    EXPECT_EQ(service.pid(), status["pid"]);
    EXPECT_EQ("running", status["phase"]);
    EXPECT_EQ(1, status["deployment"]["attempts"]);
    EXPECT_NE(std::string::npos, root.statusText().find("\n" + updatedLineFromJson(status)));
    EXPECT_EQ(textAfterUpdated(root), textFromJson(status));
    expectValidAgainstSchema(root);
    const struct {
        std::string name;
        const char* state;
        int code;
        nlohmann::json codeName;
    } expected[] = {
        {"Alpha", "started", 0, nullptr},
        {"Beta", "started", 3, nullptr},
        {"Deployer", "refused", -52002, "zoqelerr_featureUnsupported"},
        {"Orphan", "refused", -52006, "zoqelerr_resourceNotFound"},
        {"Failing", "failed", -7, nullptr},
        {validUtf8(kOddName), "started", 0, nullptr},
    };
    for (const auto& plugin : expected) {
        const nlohmann::json* found = pluginNamed(status, plugin.name);
        ASSERT_NE(nullptr, found) << plugin.name;
        EXPECT_EQ(plugin.state, (*found)["state"]) << plugin.name;
        EXPECT_EQ(plugin.code, (*found)["steps"]["initialize"]["code"]) << plugin.name;
        EXPECT_EQ(plugin.codeName, (*found)["steps"]["initialize"]["codeName"]) << plugin.name;
        EXPECT_TRUE((*found)["steps"]["stop"]["ms"].is_null()) << plugin.name;
    }
    EXPECT_EQ(validUtf8(root.pluginsDirectory() + "/" + kOddFile),
              (*pluginNamed(status, validUtf8(kOddName)))["file"]);
    EXPECT_EQ((nlohmann::json{{"started", 3}, {"refused", 2}, {"failed", 1}}), status["counts"]);
    ASSERT_EQ(1u, status["messages"].size());
    EXPECT_EQ("descriptionParse", status["messages"][0]["kind"]);
    EXPECT_EQ(root.pluginsDirectory() + "/broken.ini", status["messages"][0]["path"]);

    service.sendSignal(SIGTERM);
    ASSERT_TRUE(service.wait().signaled);
    status = readStatusJson(root);
    EXPECT_EQ("stopped", status["phase"]);
    EXPECT_EQ(textAfterUpdated(root), textFromJson(status));
    expectValidAgainstSchema(root);
    EXPECT_EQ("stopped", (*pluginNamed(status, "Alpha"))["state"]);
    EXPECT_EQ("AlphaStop", (*pluginNamed(status, "Alpha"))["steps"]["stop"]["entry"]);
    EXPECT_FALSE((*pluginNamed(status, "Alpha"))["steps"]["cleanup"]["ms"].is_null());
    EXPECT_EQ("failed", (*pluginNamed(status, "Failing"))["state"]);
}

// The names the status directory's files were renamed to, as `watch` saw them.
std::vector<std::string> namesMovedTo(int watch) {
    std::vector<std::string> names;
    alignas(inotify_event) char events[64 * 1024];
    for (ssize_t length; (length = read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            names.emplace_back(event->len > 0 ? event->name : "");
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return names;
}

// A stop asked for during the start pass is served before anything else:
// the status written after the pass already says "stopping", so no status
// says "running" once the stop was asked for, and the stop writes no second
// one; then the status after the clean-up and the last at the end.
TEST(ReportsRun, AStopAskedForDuringTheStartIsWrittenOnceAsStopping) {
    zotest::TestRoot root;
    root.addDescription("dozy.ini",
                        "[Service]\nName=Dozy\nPath=" + std::string(ZO_TEST_PLUGIN_dozy) +
                            "\nInitialize=DozyInit\nStop=DozyStop\n");
    zotest::tPluginCallLog log;
    zotest::ServiceProcess service({}, {log.environmentEntry()});
    ASSERT_TRUE(zotest::waitFor([&] { return !log.calls().empty(); }));
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_LE(0, inotify_add_watch(watch, root.statusDirectory().c_str(), IN_MOVED_TO));
    service.sendSignal(SIGTERM);  // while Initialize takes its 300 ms
    ASSERT_TRUE(service.wait().signaled);
    const std::vector<std::string> moved = namesMovedTo(watch);
    close(watch);
    EXPECT_EQ(3, std::count(moved.begin(), moved.end(), "zoKorvoRemoteService.status.json"));
    EXPECT_EQ(3, std::count(moved.begin(), moved.end(), "zoKorvoRemoteService.status"));
    const nlohmann::json status = readStatusJson(root);
    EXPECT_EQ("stopped", status["phase"]);
    EXPECT_EQ("stopped", (*pluginNamed(status, "Dozy"))["state"]);
    EXPECT_EQ((std::vector<std::string>{"dozy Initialize", "dozy Stop"}), log.calls());
}

// A port of the loopback interface that nothing listens on at the moment.
int freeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(probe);
    return port;
}

// The body of GET /metrics on the loopback `port`; empty when nobody answered.
std::string scrape(int port) {
    const int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(connection, request.data(), request.size()) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t length;
            while ((length = read(connection, buffer, sizeof buffer)) > 0) {
                response.append(buffer, static_cast<size_t>(length));
            }
        }
    }
    close(connection);
    return response;
}

TEST(ReportsRun, MetricsFilePassesPromtoolAndNodeExporterServesItsSeries) {
    ZOTEST_SKIP_WHEN_MISSING(metricsToolsMissing());
    zotest::TestRoot root;
    addMixedPlugins(root);
    const std::string metricsDirectory = root.root() + "/textfile";
    zotest::makeDirectories(metricsDirectory);
    const std::string metricsFile = metricsDirectory + "/zoKorvoRemoteService.prom";
    zotest::ServiceProcess service({"--metrics-file", metricsFile}, {"ZOSYSAPI_DEPLOYMENT=0"});
    ASSERT_TRUE(zotest::waitFor([&] {
        return zotest::readFile(metricsFile).find("zokorvo_service_phase{phase=\"running\"} 1") !=
               std::string::npos;
    })) << zotest::readFile(metricsFile);
    std::string output;
    EXPECT_EQ(0,
              runCommand(std::string(ZO_TEST_PROMTOOL) + " check metrics < " + quoted(metricsFile),
                         output))
        << output << zotest::readFile(metricsFile);

    const int port = freeLoopbackPort();
    ASSERT_GT(port, 0);
    zotest::ServiceProcess exporter(
        {"--web.listen-address=127.0.0.1:" + std::to_string(port), "--collector.disable-defaults",
         "--collector.textfile", "--collector.textfile.directory=" + metricsDirectory},
        {}, ZO_TEST_NODE_EXPORTER);
    std::string scraped;
    EXPECT_TRUE(zotest::waitFor([&] {
        scraped = scrape(port);
        return scraped.find("zokorvo_plugin_up") != std::string::npos;
    })) << exporter.standardError();
    // node_exporter orders labels by name and reports a file it could not parse.
    EXPECT_NE(std::string::npos,
              scraped.find("zokorvo_plugin_up{file=\"alpha.ini\",plugin=\"Alpha\"} 1"))
        << scraped;
    std::string oddLabel;
    appendLabelValue(oddLabel, validUtf8(kOddName));
    EXPECT_NE(std::string::npos, scraped.find("plugin=\"" + oddLabel + "\"} 1")) << scraped;
    EXPECT_NE(std::string::npos, scraped.find("zokorvo_plugin_step_code{file=\"failing.ini\","
                                              "plugin=\"Failing\",step=\"Initialize\"} -7"))
        << scraped;
    EXPECT_NE(std::string::npos, scraped.find("zokorvo_plugins{state=\"refused\"} 2")) << scraped;
    EXPECT_NE(std::string::npos, scraped.find("node_textfile_scrape_error 0")) << scraped;
    exporter.sendSignal(SIGTERM);
    exporter.wait();
    service.sendSignal(SIGTERM);
    service.wait();
}

TEST(ReportsRun, MetricsFileIsNotWrittenThroughALink) {
    zotest::TestRoot root;
    addMixedPlugins(root);
    const std::string target = root.root() + "/elsewhere";
    zotest::makeDirectories(target);
    const std::string linked = root.root() + "/linked";
    ASSERT_EQ(0, symlink(target.c_str(), linked.c_str()));
    zotest::ServiceProcess service({"--metrics-file", linked + "/zokorvo.prom"});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "Failing (depends on )"));
    // Resolved when the service starts: the link set up by root is followed.
    EXPECT_TRUE(zotest::waitFor([&] { return zotest::fileExists(target + "/zokorvo.prom"); }));
    // A link put in the directory's place afterwards is not.
    const std::string planted = root.root() + "/planted";
    zotest::makeDirectories(planted);
    ASSERT_EQ(0, rename(target.c_str(), (root.root() + "/moved").c_str()));
    ASSERT_EQ(0, symlink(planted.c_str(), target.c_str()));
    service.sendSignal(SIGTERM);
    ASSERT_TRUE(service.wait().signaled);
    EXPECT_FALSE(zotest::fileExists(planted + "/zokorvo.prom"));
    EXPECT_NE(
        std::string::npos,
        root.statusText().find("\nFailed to write metrics file: " + target + "/zokorvo.prom\n"))
        << root.statusText();
}

// The checker's health verdict and its one line.
struct tHealthRun {
    int exitStatus;
    std::string line;
};

tHealthRun checkHealth(const zotest::TestRoot& root) {
    tHealthRun run;
    run.exitStatus = runCommand(
        std::string(ZO_TEST_CHECKER) + " --health --status-dir " + quoted(root.statusDirectory()),
        run.line);
    return run;
}

TEST(ReportsRun, HealthOfARunningServiceThenOfOneKilled) {
    zotest::TestRoot root;
    root.addDescription("alpha.ini",
                        "[Service]\nName=Alpha\nPath=" + kAlphaPlugin + "\nInitialize=AlphaInit\n");
    root.addDescription("deployer.ini",
                        "[Service]\nName=Deployer\nRequires=2\nPath=" + kGammaPlugin + "\n");
    zotest::ServiceProcess service({}, {"ZOSYSAPI_DEPLOYMENT=0"});
    ASSERT_TRUE(zotest::waitForPhase(root, "running"));
    tHealthRun health = checkHealth(root);
    EXPECT_EQ(0, health.exitStatus) << health.line;
    EXPECT_EQ("ZOKORVO OK - 1 started, 1 refused, 0 failed | started=1 refused=1 failed=0\n",
              health.line);
    service.sendSignal(SIGKILL);
    service.wait();
    health = checkHealth(root);
    EXPECT_EQ(2, health.exitStatus) << health.line;
    EXPECT_EQ(0u, health.line.find("ZOKORVO CRITICAL - the service is not running")) << health.line;
}

std::string iniText(const std::string& name, const std::string& library,
                    const std::string& extra = "") {
    return "[Service]\nName=" + name + "\nPath=" + library + "\n" + extra;
}

TEST(ReportsRun, AfterAReloadEachPluginSaysWhatTheReloadDidWithIt) {
    ZOTEST_SKIP_WHEN_MISSING(schemaCheckerMissing());
    ZOTEST_SKIP_WHEN_MISSING(promtoolMissing());
    zotest::TestRoot root;
    zotest::tLibraryShelf shelf(root);
    root.addDescription("a.ini", iniText("A", shelf.place(kAlphaPlugin, "alpha")));
    root.addDescription("b.ini", iniText("B", kBetaPlugin, "Dependencies=A\n"));
    root.addDescription("c.ini", iniText("C", kGammaPlugin));
    root.addDescription("d.ini", iniText("D", kPlainPlugin));
    root.addDescription("k.ini", iniText("K", kSlowPlugin));
    root.addDescription("f.ini", iniText("F", kFailingPlugin, "Initialize=FailingInit\n"));
    const std::string metricsFile = root.root() + "/zoKorvoRemoteService.prom";
    zotest::ServiceProcess service({"--metrics-file", metricsFile}, {"ZOSYSAPI_DEPLOYMENT=0"});
    ASSERT_TRUE(zotest::waitForPhase(root, "running"));
    nlohmann::json status = readStatusJson(root);
    EXPECT_TRUE(status["reload"].is_null());
    EXPECT_TRUE((*pluginNamed(status, "K"))["reload"].is_null());
    EXPECT_EQ(std::string::npos, zotest::readFile(metricsFile).find("zokorvo_reload"));

    root.addDescription("c.ini", iniText("C", kGammaPlugin, "Requires=3\n"));
    shelf.place(kAlphaPlugin, "alpha");
    ASSERT_EQ(0, remove((root.pluginsDirectory() + "/d.ini").c_str()));
    root.addDescription("e.ini", iniText("E", kPlainPlugin));
    root.addDescription("r.ini", iniText("R", kGammaPlugin, "Requires=2\n"));
    service.sendSignal(SIGHUP);
    ASSERT_TRUE(zotest::waitFor([&] {
        return zotest::readFile(metricsFile).find("zokorvo_reload_plugins") != std::string::npos;
    }));

    expectValidAgainstSchema(root);
    status = readStatusJson(root);
    const std::map<std::string, std::string> expected = {
        {"A", "started"}, {"B", "started"}, {"C", "started"}, {"E", "started"},
        {"K", "kept"},    {"R", "refused"}, {"F", "failed"}};
    std::map<std::string, std::string> outcomes;
    for (const nlohmann::json& plugin : status["plugins"]) {
        outcomes[plugin["name"].get<std::string>()] = plugin["reload"].get<std::string>();
    }
    EXPECT_EQ(expected, outcomes);
    EXPECT_EQ(nlohmann::json::array({"D"}), status["reload"]["stopped"]);
    EXPECT_EQ((nlohmann::json{
                  {"kept", 1}, {"stopped", 1}, {"started", 4}, {"refused", 1}, {"failed", 1}}),
              status["reload"]["counts"]);
    // The reload began after the start was written, and before this write.
    const std::string at = status["reload"]["at"].get<std::string>();
    EXPECT_LE(status["started"].get<std::string>(), at);
    EXPECT_LE(at, status["updated"].get<std::string>());

    const std::string metrics = zotest::readFile(metricsFile);
    std::string output;
    EXPECT_EQ(0,
              runCommand(std::string(ZO_TEST_PROMTOOL) + " check metrics < " + quoted(metricsFile),
                         output))
        << output << metrics;
    for (const char* series :
         {"zokorvo_reload_plugins{outcome=\"kept\"} 1\n",
          "zokorvo_reload_plugins{outcome=\"stopped\"} 1\n",
          "zokorvo_reload_plugins{outcome=\"started\"} 4\n",
          "zokorvo_reload_plugins{outcome=\"refused\"} 1\n",
          "zokorvo_reload_plugins{outcome=\"failed\"} 1\n", "zokorvo_reload_timestamp_seconds "}) {
        EXPECT_NE(std::string::npos, metrics.find(series)) << series << metrics;
    }

    // The health goes by the plugins' states alone: F failed again.
    const tHealthRun health = checkHealth(root);
    EXPECT_EQ(2, health.exitStatus) << health.line;
    EXPECT_EQ(
        "ZOKORVO CRITICAL - plugin F failed (-7); 5 started, 1 refused, 1 failed | "
        "started=5 refused=1 failed=1\n",
        health.line);
    service.sendSignal(SIGTERM);
    service.wait();
}

}  // namespace
