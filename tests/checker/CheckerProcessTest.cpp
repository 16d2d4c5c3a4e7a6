// The checker's executable on directories and files of the test's own: its
// exit status, its options, the loader's text with --load, and the JSON
// report against the text one.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "CheckerTestSupport.h"
#include "support/TestPlugins.h"

namespace {

using Json = nlohmann::json;
using namespace zotest::plugins;

using zotest::description;

// Each "{dir}" in `arguments` becomes `directory`.
std::vector<std::string> inDirectory(std::vector<std::string> arguments,
                                     const std::string& directory) {
    for (std::string& argument : arguments) {
        argument = std::regex_replace(argument, std::regex("\\{dir\\}"), directory);
    }
    return arguments;
}

TEST(CheckerProcess, ExitStatusSaysWhetherAnythingIsWrong) {
    struct tCase {
        const char* what;
        std::string file;  // alpha.ini, when not empty
        std::vector<std::string> arguments;
        int exitStatus;
    };
    const std::string alpha = description("alpha", kAlphaPlugin, "Initialize=AlphaInit\n");
    const std::vector<std::string> check = {"--plugins-dir", "{dir}"};
    const std::vector<tCase> cases = {
        {"nothing wrong", alpha, check, 0},
        {"no description file", "", check, 0},
        {"warnings only", alpha + "Colour=red\n", check, 0},
        {"rejected file", alpha + "\n", check, 1},
        {"refused plugin", alpha + "Requires=0\n", check, 1},
        {"deployment allowed",
         alpha + "Requires=2\n",
         {"--deployment", "allowed", "{dir}/alpha.ini"},
         0},
        {"deployment denied",
         alpha + "Requires=2\n",
         {"--deployment=denied", "{dir}/alpha.ini"},
         1},
        {"missing symbol unseen", description("alpha", kAlphaPlugin, "Stop=NoSuchStop\n"), check,
         0},
        {"missing symbol with --load",
         description("alpha", kAlphaPlugin, "Stop=NoSuchStop\n"),
         {"--load", "--plugins-dir", "{dir}"},
         1},
        {"named file missing", "", {"{dir}/missing.ini"}, 1},
        {"help", "", {"--help"}, 0},
        {"unknown option", alpha, {"--bogus", "{dir}/alpha.ini"}, 2},
        {"missing option value", alpha, {"--plugins-dir"}, 2},
        {"bad deployment value", alpha, {"--deployment", "maybe", "{dir}/alpha.ini"}, 2},
        {"deployment given twice", alpha, {"--deployment", "denied", "--query-deployment"}, 2},
        {"directory and files", alpha, {"--plugins-dir", "{dir}", "{dir}/alpha.ini"}, 2},
        {"missing directory", "", {"--plugins-dir", "{dir}/none"}, 2},
        {"directory is a file", alpha, {"--plugins-dir", "{dir}/alpha.ini"}, 2},
    };
    for (const tCase& test : cases) {
        zotest::tScratchDirectory directory;
        if (!test.file.empty()) {
            directory.add("alpha.ini", test.file);
        }
        const zotest::tCheckerRun run =
            zotest::runChecker(inDirectory(test.arguments, directory.path));
        EXPECT_EQ(test.exitStatus, run.exitStatus) << test.what << "\n" << run.output << run.errors;
        EXPECT_EQ(test.exitStatus == 2, !run.errors.empty()) << test.what << "\n" << run.errors;
    }
}

TEST(CheckerProcess, HelpDescribesEveryOptionAndWhatCannotBePredicted) {
    const zotest::tCheckerRun run = zotest::runChecker({"-h"});
    EXPECT_EQ(0, run.exitStatus);
    for (const char* part :
         {"Usage: zoKorvoPluginCheck [OPTIONS] [FILE...]", "--plugins-dir DIR",
          "--deployment allowed|denied", "--query-deployment", "--load",
          "opened in a child process", "--json", "-h, --help", "Without --trial no entry point is",
          "Exit status: 0", "-52026", "rejected as unsafe"}) {
        EXPECT_NE(std::string::npos, run.output.find(part)) << part;
    }
    // The paths it reads, as this test's slot places them.
    for (const std::string& path :
         {zotest::TestRoot::pointerFile(), zotest::TestRoot::defaultShareDirectory()}) {
        EXPECT_NE(std::string::npos, run.output.find(path)) << path;
    }
}

TEST(CheckerProcess, LoadReportsTheLoadersOwnTextForEveryFailure) {
    zotest::tScratchDirectory directory;
    const std::string missing = directory.path + "/no-such-plugin.so";
    directory.add("lost.ini", description("lost", missing));
    directory.add("unbound.ini", description("unbound", kAlphaPlugin,
                                             "Initialize=NoSuchInit\nCleanup=AlphaCleanup\n"));
    const std::vector<std::string> loaderTexts = {
        missing + ": cannot open shared object file: No such file or directory",
        kAlphaPlugin + ": undefined symbol: NoSuchInit",
    };
    const zotest::tCheckerRun text =
        zotest::runChecker({"--load", "--plugins-dir", directory.path});
    EXPECT_EQ(1, text.exitStatus);
    EXPECT_NE(std::string::npos,
              text.output.find("\"lost\" (" + directory.path + "/lost.ini): fails to load, -52005"))
        << text.output;
    EXPECT_NE(std::string::npos, text.output.find("library \"" + missing + "\": " + loaderTexts[0]))
        << text.output;
    EXPECT_NE(std::string::npos,
              text.output.find("Initialize entry point \"NoSuchInit\": " + loaderTexts[1]))
        << text.output;

    const zotest::tCheckerRun json =
        zotest::runChecker({"--json", "--load", "--plugins-dir", directory.path});
    const Json report = Json::parse(json.output);
    std::vector<std::string> reported;
    for (const Json& plugin : report.at("startOrder")) {
        EXPECT_EQ("load-failed", plugin.at("verdict")) << plugin.dump();
        for (const Json& failure : plugin.at("loadFailures")) {
            reported.push_back(failure.at("loaderText"));
        }
    }
    EXPECT_EQ(loaderTexts, reported);
}

// Libraries are opened in child processes: one whose constructor crashes or
// hangs fails to load with what happened, its dependents are refused, and
// the plugins after it are still judged.
TEST(CheckerProcess, LoadSurvivesAConstructorThatCrashesOrHangs) {
    zotest::tScratchDirectory directory;
    zotest::addFaultyConstructors(directory);
    directory.add("needing.ini", description("needing", kAlphaPlugin,
                                             "Dependencies=crashing\nInitialize=AlphaInit\n"));
    // A sanitizer's own SIGSEGV handler would turn the crash into its
    // report and an exit status: the child dies of the signal, as without it.
    const zotest::tCheckerRun run = zotest::runChecker(
        {"--json", "--load", "--step-timeout", "1", "--plugins-dir", directory.path},
        {"ASAN_OPTIONS=handle_segv=0"});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    const Json report = Json::parse(run.output);
    std::map<std::string, Json> verdicts;
    for (const Json& plugin : report.at("startOrder")) {
        verdicts[plugin.at("name")] = plugin;
    }
    const std::vector<std::pair<const char*, const char*>> expected = {
        {"crashing", "opening it killed the checker's child process with signal SIGSEGV"},
        {"hanging", "opening it did not end within 1 s"},
    };
    for (const auto& [name, text] : expected) {
        const Json& plugin = verdicts[name];
        EXPECT_EQ("load-failed", plugin.at("verdict")) << plugin.dump(2);
        ASSERT_EQ(1u, plugin.at("loadFailures").size()) << plugin.dump(2);
        EXPECT_NE(std::string::npos,
                  plugin.at("loadFailures")[0].at("loaderText").get<std::string>().find(text))
            << plugin.dump(2);
    }
    EXPECT_EQ("refused", verdicts["needing"].at("verdict")) << verdicts["needing"].dump(2);
    EXPECT_EQ("admitted", verdicts["zulu"].at("verdict")) << verdicts["zulu"].dump(2);
}

// The text report's line for a finding.
std::string findingLine(const Json& finding, const char* severity) {
    const int line = finding.at("line");
    return (line > 0 ? "line " + std::to_string(line) + ": " : "") + severity + ": " +
           finding.at("message").get<std::string>();
}

TEST(CheckerProcess, JsonHoldsTheSameFactsAsTheText) {
    zotest::tScratchDirectory directory;
    directory.add("alpha.ini", description("alpha", kAlphaPlugin, "Colour=red\n"));
    directory.add("beta.ini", description("beta", kBetaPlugin, "Dependencies=alpha, core\n"));
    directory.add("deployer.ini", description("deployer", kGammaPlugin, "Requires=2\n"));
    directory.add("broken.ini", "[Service]\n# note\n\nName=broken\n");
    const std::vector<std::string> arguments = {"--deployment", "denied", "--plugins-dir",
                                                directory.path};
    const zotest::tCheckerRun text = zotest::runChecker(arguments);
    std::vector<std::string> jsonArguments = arguments;
    jsonArguments.push_back("--json");
    const zotest::tCheckerRun json = zotest::runChecker(jsonArguments);
    ASSERT_EQ(1, text.exitStatus);
    ASSERT_EQ(1, json.exitStatus);
    const Json report = Json::parse(json.output);
    EXPECT_EQ(1, report.at("exitStatus"));
    EXPECT_EQ(directory.path, report.at("pluginsDirectory"));
    EXPECT_EQ(0xFFFFFFFDu, report.at("capabilityMask"));

    const std::string& out = text.output;
    ASSERT_EQ(4u, report.at("files").size());
    for (const Json& file : report.at("files")) {
        const std::string verdict =
            file.at("accepted")
                ? ": accepted\n"
                : ": rejected (" + std::to_string(file.at("code").get<int>()) + ")\n";
        EXPECT_NE(std::string::npos, out.find(file.at("path").get<std::string>() + verdict)) << out;
        for (const Json& error : file.at("errors")) {
            EXPECT_NE(std::string::npos, out.find(findingLine(error, "error"))) << error.dump();
        }
        for (const Json& warning : file.at("warnings")) {
            EXPECT_NE(std::string::npos, out.find(findingLine(warning, "warning")))
                << warning.dump();
        }
    }
    EXPECT_EQ(1u, report.at("acrossFiles").size());
    for (const Json& finding : report.at("acrossFiles")) {
        EXPECT_NE(std::string::npos, out.find(findingLine(finding, "warning"))) << finding.dump();
    }
    const std::vector<std::pair<std::string, std::string>> expectedOrder = {
        {"alpha", "admitted"}, {"beta", "refused"}, {"deployer", "refused"}};
    ASSERT_EQ(expectedOrder.size(), report.at("startOrder").size());
    for (size_t i = 0; i < expectedOrder.size(); ++i) {
        const Json& plugin = report.at("startOrder")[i];
        EXPECT_EQ(expectedOrder[i].first, plugin.at("name"));
        EXPECT_EQ(expectedOrder[i].second, plugin.at("verdict"));
        std::string line = std::to_string(i + 1) + ". \"" + plugin.at("name").get<std::string>() +
                           "\" (" + plugin.at("file").get<std::string>() +
                           "): " + expectedOrder[i].second;
        if (plugin.at("verdict") != "admitted") {
            line += ", " + std::to_string(plugin.at("code").get<int>()) + ": " +
                    plugin.at("reason").get<std::string>();
        }
        EXPECT_NE(std::string::npos, out.find(line + "\n")) << line << "\n" << out;
    }
    const Json& summary = report.at("summary");
    EXPECT_EQ(std::to_string(summary.at("files").get<int>()) + " files (3 accepted, 1 rejected); " +
                  "3 plugins (1 admitted, 2 refused, 0 failing to load); " +
                  std::to_string(summary.at("warnings").get<int>()) + " warnings\n",
              out.substr(out.rfind("Summary: ") + 9));
}

TEST(CheckerProcess, DeploymentIsAskedOfTheSystemAsTheServiceAsksIt) {
    struct tCase {
        const char* environment;
        bool allowed;
        const char* message;  // null when the query succeeded
        int exitStatus;
    };
    const std::vector<tCase> cases = {
        {"ZOSYSAPI_DEPLOYMENT=1", true, nullptr, 0},
        {"ZOSYSAPI_DEPLOYMENT=0", false, nullptr, 1},
        // A failed query leaves deployment allowed, with the service's message.
        {"ZOSYSAPI_SETTING_ERROR=1", true, "Deployment setting not found", 0},
    };
    zotest::tScratchDirectory directory;
    directory.add("deployer.ini", description("deployer", kAlphaPlugin, "Requires=2\n"));
    for (const tCase& test : cases) {
        const zotest::tCheckerRun run = zotest::runChecker(
            {"--json", "--query-deployment", "--plugins-dir", directory.path}, {test.environment});
        EXPECT_EQ(test.exitStatus, run.exitStatus) << test.environment;
        const Json report = Json::parse(run.output);
        const Json& deployment = report.at("deployment");
        EXPECT_TRUE(deployment.at("queried"));
        EXPECT_EQ(test.allowed, deployment.at("allowed")) << test.environment;
        EXPECT_EQ(test.message ? Json(test.message) : Json(nullptr), deployment.at("message"))
            << test.environment;
    }
}

TEST(CheckerProcess, NamedFilesAreCheckedInTheOrderGiven) {
    zotest::tScratchDirectory directory;
    const std::string second = directory.add("second.conf", description("b", kBetaPlugin));
    const std::string first = directory.add("first.ini", description("a", kAlphaPlugin));
    const zotest::tCheckerRun run = zotest::runChecker({"--json", second, first});
    EXPECT_EQ(0, run.exitStatus) << run.output;
    const Json report = Json::parse(run.output);
    EXPECT_TRUE(report.at("pluginsDirectory").is_null());
    EXPECT_EQ(second, report.at("files")[0].at("path"));
    EXPECT_EQ("not-ini-extension", report.at("files")[0].at("warnings")[0].at("kind"));
    EXPECT_FALSE(report.at("files")[0].at("listed"));
    EXPECT_EQ(first, report.at("files")[1].at("path"));
    // The service would never read second.conf: its plugin does not start.
    ASSERT_EQ(1u, report.at("startOrder").size());
    const std::string text = zotest::runChecker({second, first}).output;
    EXPECT_NE(std::string::npos, text.find("  left out: \"b\" (" + second + "): the service"))
        << text;
}

TEST(CheckerProcess, SystemErrorIsReportedInJsonToo) {
    zotest::tScratchDirectory directory;
    const zotest::tCheckerRun run =
        zotest::runChecker({"--json", "--plugins-dir", directory.path + "/none"});
    EXPECT_EQ(2, run.exitStatus);
    const Json report = Json::parse(run.output);
    EXPECT_EQ(2, report.at("exitStatus"));
    EXPECT_NE(std::string::npos,
              report.at("error").get<std::string>().find("cannot list the plugins directory " +
                                                         directory.path + "/none"));
    EXPECT_NE(std::string::npos, run.errors.find("Failed to open plugins directory."));
}

}  // namespace
