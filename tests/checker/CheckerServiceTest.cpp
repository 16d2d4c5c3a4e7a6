// The checker against the service itself: both look at the test variant's
// plugins directory, and what the checker predicts is what the status file
// then shows.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
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
// order, as the service writes them before the plugin blocks. A file the
// service does not list is no part of it.
tOutcomes predictedOutcomes(const Json& report) {
    tOutcomes outcomes;
    for (const Json& file : report.at("files")) {
        if (file.at("listed") && !file.at("accepted")) {
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

// "name: code" for every code the report's findings name for a plugin:
// ""Name" (file) ...: it is refused (-52006)" and ""Name" is refused (-52006)".
tOutcomes namedCodes(const Json& report) {
    static const std::regex aboutOnePlugin(
        "^\"([^\"]+)\" \\(.*: it (?:is refused|fails to load) \\((-[0-9]+)\\).*");
    static const std::regex eachPlugin("\"([^\"]+)\" (?:is refused|fails to load) \\((-[0-9]+)\\)");
    tOutcomes named;
    for (const Json& finding : report.at("acrossFiles")) {
        const std::string message = finding.at("message");
        std::smatch match;
        if (std::regex_match(message, match, aboutOnePlugin)) {
            named.push_back(match[1].str() + ": " + match[2].str());
        }
        for (std::sregex_iterator each(message.begin(), message.end(), eachPlugin), end;
             each != end; ++each) {
            named.push_back((*each)[1].str() + ": " + (*each)[2].str());
        }
    }
    return named;
}

using zotest::description;

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

// Cases where the checker once predicted otherwise than the service did:
// each runs the checker and then the service on the same plugins directory.
TEST(CheckerAgainstService, PredictsWhatTheServiceRecordsWhereItOnceDidNot) {
    struct tCase {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;
        bool nameFiles;  // name every file on the command line, else list the directory
        tOutcomes expected;
        tOutcomes named;  // codes the findings name, each also in the status file
    };
    const std::string alpha = kAlphaPlugin;
    const std::vector<tCase> cases = {
        {"admission is tested before the dependencies",
         {{"zero.ini", description("Zero", alpha, "Requires=0\nDependencies=Nobody\n")},
          {"deployer.ini", description("Deployer", alpha, "Requires=2\nDependencies=Deployer\n")},
          {"twice.ini", description("Twice", alpha, "Requires=2\nDependencies=Alpha,Alpha\n")},
          {"alpha.ini", description("Alpha", alpha)},
          {"user.ini", description("User", alpha, "Dependencies=Zero\n")}},
         false,
         {"Alpha: started", "Deployer: -52002", "Twice: -52002", "Zero: -52002", "User: -52006"},
         {"Deployer: -52002", "Twice: -52002", "Zero: -52002"}},
        {"a plugin without a path fails without the loader, and its dependents are refused",
         {{"nopath.ini", "[Service]\nName=NoPath\n"},
          {"empty.ini", "[Service]\nName=Empty\nPath=\nRequires=1\n"},
          {"user.ini", description("User", alpha, "Dependencies=NoPath\n")},
          {"alpha.ini", description("Alpha", alpha)}},
         false,
         {"Alpha: started", "Empty: -52005", "NoPath: -52005", "User: -52006"},
         {}},
        {"a named file that is not \".ini\" takes no part",
         {{"extra.conf", description("Extra", alpha)},
          {"needs-extra.ini", description("NeedsExtra", alpha, "Dependencies=Extra\n")},
          {"alpha.ini", description("Alpha", alpha)}},
         true,
         {"Alpha: started", "NeedsExtra: -52006"},
         {"NeedsExtra: -52006"}},
    };
    const std::vector<std::string> denied = {"ZOSYSAPI_DEPLOYMENT=0"};
    for (const tCase& test : cases) {
        SCOPED_TRACE(test.what);
        zotest::TestRoot root;
        std::vector<std::string> arguments = {"--json", "--deployment", "denied"};
        for (const auto& [file, text] : test.files) {
            root.addDescription(file, text);
            if (test.nameFiles) {
                arguments.push_back(root.pluginsDirectory() + "/" + file);
            }
        }
        const zotest::tCheckerRun check = zotest::runChecker(arguments);
        EXPECT_EQ(1, check.exitStatus) << check.errors;
        const Json report = Json::parse(check.output);
        EXPECT_EQ(test.expected, predictedOutcomes(report)) << check.output;
        EXPECT_EQ(test.named, namedCodes(report)) << check.output;

        zotest::ServiceProcess service({}, denied);
        ASSERT_TRUE(zotest::waitForStatusContaining(
            root, "\n" + test.expected.back().substr(0, test.expected.back().find(':')) +
                      " (depends on "))
            << root.statusText();
        const std::string status = root.statusText();
        service.sendSignal(SIGTERM);
        EXPECT_TRUE(service.wait().signaled);
        const tOutcomes recorded = statusOutcomes(status);
        EXPECT_EQ(test.expected, recorded) << status;
        for (const std::string& named : test.named) {
            EXPECT_NE(recorded.end(), std::find(recorded.begin(), recorded.end(), named))
                << named << " in\n"
                << status;
        }
    }
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
