// The checker against the service itself: both look at the test variant's
// plugins directory, and what the checker predicts is what the status file
// then shows.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CheckerTestSupport.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using Json = nlohmann::json;
using namespace zotest::plugins;
using tOutcomes = std::vector<std::string>;

// "name: started" or "name: <code>" for each plugin block of a status file,
// in order; "Failed to parse ..." lines are kept as they are.
tOutcomes statusOutcomes(const std::string& status) {
    static const std::regex blockHeader("(.*) \\(depends on .*\\)");
    static const std::regex codeLine("\\S+ Code: (-?[0-9]+)");
    tOutcomes outcomes;
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (line.rfind("Failed to parse service description file: ", 0) == 0) {
            outcomes.push_back(line);
        } else if (std::regex_match(line, match, blockHeader)) {
            outcomes.push_back(match[1].str() + ": started");
        } else if (std::regex_match(line, match, codeLine) && match[1].str()[0] == '-') {
            // The start step's code comes first in a block; a plugin that
            // started (code 0 or a warning) keeps "started".
            outcomes.back() =
                outcomes.back().substr(0, outcomes.back().rfind(": ")) + ": " + match[1].str();
        }
    }
    return outcomes;
}

// The same from the checker's JSON report: rejected files first, in listing
// order, as the service writes them before the plugin blocks.
tOutcomes predictedOutcomes(const Json& report) {
    tOutcomes outcomes;
    for (const Json& file : report.at("files")) {
        if (!file.at("accepted")) {
            outcomes.push_back("Failed to parse service description file: " +
                               file.at("path").get<std::string>());
        }
    }
    for (const Json& plugin : report.at("startOrder")) {
        const int code = plugin.at("code");
        outcomes.push_back(plugin.at("name").get<std::string>() + ": " +
                           (code == 0 ? "started" : std::to_string(code)));
    }
    return outcomes;
}

std::string description(const std::string& name, const std::string& path,
                        const std::string& more = "") {
    return "[Service]\nName=" + name + "\nPath=" + path + "\n" + more;
}

TEST(CheckerAgainstService, PredictionIsWhatTheStatusFileShows) {
    zotest::TestRoot root;
    root.addDescription(
        "alpha.ini", description("Alpha", kAlphaPlugin, "Initialize=AlphaInit\nStop=AlphaStop\n"));
    root.addDescription(
        "warn.ini", description("Warn", kBetaPlugin, "Initialize=BetaInit\nDependencies=Alpha\n"));
    root.addDescription("deployer.ini", description("Deployer", kGammaPlugin, "Requires=2\n"));
    root.addDescription("either.ini", description("Either", kGammaPlugin, "Requires=3\n"));
    root.addDescription("zero.ini", description("Zero", kGammaPlugin, "Requires=abc\n"));
    root.addDescription("orphan.ini", description("Orphan", kAlphaPlugin, "Dependencies=Core\n"));
    root.addDescription("cycle-a.ini",
                        description("CycleA", kAlphaPlugin, "Dependencies=CycleB\n"));
    root.addDescription("cycle-b.ini",
                        description("CycleB", kAlphaPlugin, "Dependencies=CycleA\n"));
    root.addDescription("self.ini", description("Self", kAlphaPlugin, "Dependencies=Self\n"));
    root.addDescription("twice.ini",
                        description("Twice", kAlphaPlugin, "Dependencies=Alpha,Alpha\n"));
    root.addDescription("lost.ini", description("Lost", root.root() + "/no-such-plugin.so"));
    root.addDescription("unbound.ini", description("Unbound", kGammaPlugin, "Stop=NoSuchStop\n"));
    root.addDescription("after-lost.ini",
                        description("AfterLost", kAlphaPlugin, "Dependencies=Lost, Alpha\n"));
    root.addDescription("blank.ini", "[Service]\nName=Blank\n\nPath=" + kAlphaPlugin + "\n");
    root.addDescription("hash.ini", "[Service]\n# a note\nName=Hash\n");
    const std::vector<std::string> denied = {"ZOSYSAPI_DEPLOYMENT=0"};

    // No plugins directory given: the checker finds the service's own.
    const zotest::tCheckerRun check =
        zotest::runChecker({"--json", "--load", "--query-deployment"}, denied);
    EXPECT_EQ(1, check.exitStatus) << check.errors;
    const Json report = Json::parse(check.output);
    EXPECT_EQ(root.pluginsDirectory(), report.at("pluginsDirectory"));
    EXPECT_FALSE(report.at("deployment").at("allowed"));
    const tOutcomes predicted = predictedOutcomes(report);
    ASSERT_EQ(15u, predicted.size()) << check.output;

    zotest::ServiceProcess service({}, denied);
    const std::string lastBlock = report.at("startOrder").back().at("name").get<std::string>();
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "\n" + lastBlock + " (depends on "))
        << root.statusText();
    const std::string status = root.statusText();
    service.sendSignal(SIGTERM);
    EXPECT_TRUE(service.wait().signaled);

    EXPECT_EQ(predicted, statusOutcomes(status)) << status;
    EXPECT_NE(std::string::npos, status.find("Allowed: 0xfffffffd\n"));
}

TEST(CheckerAgainstService, MissingPluginsDirectoryIsASystemError) {
    zotest::TestRoot root;
    zotest::removeTree(root.pluginsDirectory());
    const zotest::tCheckerRun check = zotest::runChecker({});
    EXPECT_EQ(2, check.exitStatus);
    EXPECT_NE(std::string::npos,
              check.errors.find("cannot list the plugins directory " + root.pluginsDirectory() +
                                ": it does not exist or is not a directory"))
        << check.errors;
}

TEST(CheckerAgainstService, DefaultDirectoryFollowsThePointerFile) {
    zotest::TestRoot root;
    const std::string elsewhere = root.root() + "/elsewhere";
    zotest::makeDirectories(elsewhere + "/KorvoRemoteService/plugins");
    zotest::writeFile(elsewhere + "/KorvoRemoteService/plugins/alpha.ini",
                      description("Alpha", kAlphaPlugin));
    zotest::writeFile(root.pointerFile(), "  " + elsewhere + "//\n");
    const zotest::tCheckerRun check = zotest::runChecker({});
    EXPECT_EQ(0, check.exitStatus) << check.output;
    EXPECT_EQ(
        0u, check.output.find("Plugins directory: " + elsewhere + "/KorvoRemoteService/plugins\n"))
        << check.output;
    EXPECT_NE(std::string::npos, check.output.find("1. \"Alpha\" ("));
}

}  // namespace
