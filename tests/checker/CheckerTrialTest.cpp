// The checker's trial (--trial): plugins with one fault each are reported
// by name, step and fault while the others are still tried; the bundled
// examples try clean; the snapshot of what a process holds, which tells
// what a plugin left behind, sees threads, descriptors, children and
// mappings come and go.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CheckerTestSupport.h"
#include "ProcessSnapshot.h"
#include "TrialEvents.h"
#include "support/TestPlugins.h"

namespace {

using Json = nlohmann::json;
using namespace zotest::plugins;

using zotest::description;

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) == nullptr ? path : resolved;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What the JSON report says of one plugin, by name.
std::map<std::string, Json> pluginsByName(const Json& report) {
    std::map<std::string, Json> plugins;
    for (const Json& plugin : report.at("trial").at("plugins")) {
        plugins[plugin.at("name")] = plugin;
    }
    return plugins;
}

// The codes of the steps that ran in the last child that tried the plugin.
std::vector<int> stepCodes(const Json& plugin) {
    std::vector<int> codes;
    for (const Json& step : plugin.at("steps")) {
        if (step.at("child") == plugin.at("child") && !step.at("code").is_null()) {
            codes.push_back(step.at("code"));
        }
    }
    return codes;
}

// The leftovers of one kind, as objects.
Json leftoversOf(const Json& plugin, const char* kind) {
    Json found = Json::array();
    for (const Json& leftover : plugin.at("leftovers")) {
        if (leftover.at("kind") == kind) {
            found.push_back(leftover);
        }
    }
    return found;
}

// No process among `processes` is left.
void expectProcessesGone(const Json& processes) {
    for (const Json& process : processes) {
        const pid_t pid = process.at("number");
        ASSERT_GT(pid, 0) << process;
        EXPECT_FALSE(zotest::fileExists("/proc/" + std::to_string(pid))) << process;
    }
}

TEST(CheckerTrial, EachFaultIsReportedByPluginAndStepAndTheOthersAreStillTried) {
    zotest::tScratchDirectory directory;
    const std::string all = "Initialize=AlphaInit\nStop=AlphaStop\nCleanup=AlphaCleanup\n";
    directory.add("alpha.ini", description("alpha", kAlphaPlugin, all));
    directory.add("beta.ini", description("beta", kBetaPlugin, "Initialize=BetaInit\n"));
    directory.add("crasher.ini",
                  description("crasher", ZO_TEST_PLUGIN_crasher, "Initialize=CrasherInit\n"));
    directory.add("dependent.ini", description("dependent", kGammaPlugin,
                                               "Dependencies=crasher\nInitialize=GammaInit\n"));
    directory.add("descriptorLeaver.ini",
                  description("descriptorLeaver", ZO_TEST_PLUGIN_descriptorLeaver,
                              "Initialize=DescriptorLeaverInit\n"));
    directory.add("hanger.ini", description("hanger", ZO_TEST_PLUGIN_hanger,
                                            "Initialize=HangerInit\nStop=HangerStop\n"));
    directory.add("processLeaver.ini", description("processLeaver", ZO_TEST_PLUGIN_processLeaver,
                                                   "Initialize=ProcessLeaverInit\n"));
    directory.add("resident.ini",
                  description("resident", ZO_TEST_PLUGIN_resident, "Initialize=ResidentInit\n"));
    directory.add("threadLeaver.ini", description("threadLeaver", ZO_TEST_PLUGIN_threadLeaver,
                                                  "Initialize=ThreadLeaverInit\n"));
    directory.add("thrower.ini",
                  description("thrower", ZO_TEST_PLUGIN_throwing, "Stop=ThrowingStandardStop\n"));
    const std::string log = directory.path + "/calls.log";

    const zotest::tCheckerRun run =
        zotest::runChecker({"--trial", "--step-timeout", "1", "--run-for", "0.1", "--json",
                            "--plugins-dir", directory.path},
                           {"ZO_TEST_PLUGIN_LOG=" + log});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    const Json report = Json::parse(run.output);
    EXPECT_EQ(1, report.at("exitStatus"));
    const Json& trial = report.at("trial");
    EXPECT_EQ(1, trial.at("stepTimeoutSeconds"));
    EXPECT_EQ(geteuid(), trial.at("uid"));
    // A crash in Initialize, a hang in Stop, a thread after Cleanup: a child each, and the last.
    EXPECT_EQ(4, trial.at("children"));
    EXPECT_TRUE(trial.at("notes").empty()) << trial.dump(2);

    std::map<std::string, Json> plugins = pluginsByName(report);
    ASSERT_EQ(10u, plugins.size());
    struct tExpected {
        const char* name;
        const char* end;
        const char* failedStep;  // null: none
        std::vector<int> codes;  // of the steps that ran to their end
        bool clean;
    };
    const std::vector<tExpected> expected = {
        {"alpha", "completed", nullptr, {0, 0, 0}, true},
        {"beta", "completed", nullptr, {3, 0, 0}, false},
        {"crasher", "crashed", "Initialize", {}, false},
        {"dependent", "not-tried", nullptr, {-52006}, false},
        {"descriptorLeaver", "completed", nullptr, {0, 0, 0}, false},
        {"hanger", "hung", "Stop", {0}, false},
        {"processLeaver", "completed", nullptr, {0, 0, 0}, false},
        {"resident", "completed", nullptr, {0, 0, 0}, false},
        {"threadLeaver", "completed", nullptr, {0, 0, 0}, false},
        {"thrower", "completed", nullptr, {0, -52003, 0}, false},
    };
    for (const tExpected& plugin : expected) {
        const Json& got = plugins[plugin.name];
        EXPECT_EQ(plugin.end, got.at("end")) << got.dump(2);
        EXPECT_EQ(plugin.failedStep ? Json(plugin.failedStep) : Json(nullptr), got.at("failedStep"))
            << got.dump(2);
        EXPECT_EQ(plugin.codes, stepCodes(got)) << got.dump(2);
        EXPECT_EQ(plugin.clean, got.at("clean")) << got.dump(2);
    }
    EXPECT_EQ("SIGSEGV", plugins["crasher"].at("signalName"));
    EXPECT_TRUE(contains(plugins["dependent"].at("notTriedReason"), "\"crasher\", which crashed"))
        << plugins["dependent"].dump(2);
    EXPECT_EQ("std::runtime_error: the device went away",
              plugins["thrower"].at("steps")[1].at("exception"));
    const auto leftovers = [&plugins](const char* name, const char* kind) {
        return leftoversOf(plugins[name], kind);
    };
    ASSERT_EQ(1u, leftovers("threadLeaver", "thread").size());
    EXPECT_GT(leftovers("threadLeaver", "thread")[0].at("number"), 0);
    EXPECT_TRUE(leftovers("threadLeaver", "thread")[0].at("name").is_string());
    ASSERT_EQ(1u, leftovers("descriptorLeaver", "descriptor").size());
    EXPECT_EQ("/dev/null", leftovers("descriptorLeaver", "descriptor")[0].at("target"));
    ASSERT_EQ(1u, leftovers("processLeaver", "process").size());
    expectProcessesGone(leftovers("processLeaver", "process"));
    ASSERT_EQ(1u, leftovers("resident", "library").size());
    EXPECT_EQ(canonical(ZO_TEST_PLUGIN_resident), leftovers("resident", "library")[0].at("target"));
    // Each leftover is named once, for the plugin that left it.
    for (const char* clean : {"alpha", "beta", "thrower", "hanger"}) {
        EXPECT_EQ(Json::array(), plugins[clean].at("leftovers")) << clean;
    }
    // Every plugin is counted once in the summary, by its worst finding.
    const Json& summary = trial.at("summary");
    EXPECT_TRUE(plugins["beta"].at("warned")) << plugins["beta"].dump(2);
    EXPECT_FALSE(plugins["alpha"].at("warned"));
    EXPECT_EQ(Json({{"plugins", 10},
                    {"clean", 1},
                    {"warned", 1},
                    {"failed", 1},
                    {"crashed", 1},
                    {"hung", 1},
                    {"leftBehind", 4},
                    {"notTried", 1},
                    {"interrupted", 0}}),
              summary);
    // The plugins before the crash ran again in later children, to their end.
    EXPECT_EQ(4, plugins["alpha"].at("child"));
    const std::string calls = zotest::readFile(log);
    size_t alphaStarts = 0;
    for (size_t at = calls.find("alpha Initialize\n"); at != std::string::npos;
         at = calls.find("alpha Initialize\n", at + 1)) {
        ++alphaStarts;
    }
    EXPECT_EQ(4u, alphaStarts) << calls;
    // What each earlier child saw of it stays in the report.
    EXPECT_EQ(4, plugins["alpha"].at("initializeRuns"));
    EXPECT_EQ(1, plugins["alpha"].at("steps")[0].at("child"));

    const zotest::tCheckerRun text = zotest::runChecker(
        {"--trial", "--step-timeout", "0.5", "--run-for", "0", "--plugins-dir", directory.path});
    EXPECT_EQ(1, text.exitStatus);
    for (const std::string& line : {
             "\"alpha\" (" + directory.path + "/alpha.ini): clean\n",
             "\"crasher\" (" + directory.path +
                 "/crasher.ini): crashed in Initialize: signal SIGSEGV (Segmentation fault)\n",
             "\"hanger\" (" + directory.path +
                 "/hanger.ini): hung in Stop: still running after 0.5 s, its child process "
                 "was ended\n",
             std::string("Stop threw std::runtime_error: the device went away\n"),
             std::string("left behind: file descriptors still open: fd "),
             std::string("its Initialize ran 4 times, once in each child process that tried it"),
             "left behind: library still mapped after its close: " +
                 canonical(ZO_TEST_PLUGIN_resident) + "\n",
             std::string("\"dependent\" (") + directory.path +
                 "/dependent.ini): not tried: refused (-52006): it depends on \"crasher\", "
                 "which crashed\n",
             "\"beta\" (" + directory.path +
                 "/beta.ini): warned: its Initialize returned 3, a warning (the plugin runs, and "
                 "the service shows the code)\n",
             std::string("Trial summary: 10 plugins (1 clean, 1 warned, 1 failed, 1 crashed, 1 "
                         "hung, 4 left something behind, 1 not tried)\n"),
         }) {
        EXPECT_TRUE(contains(text.output, line)) << line << "\n" << text.output;
    }
    // A refused step takes no time of its own, but a slow machine may still
    // count a millisecond for it.
    EXPECT_TRUE(std::regex_search(
        text.output,
        std::regex("Initialize -52006 \\([0-9]+ ms\\), Stop not run, Cleanup not run\n")))
        << text.output;
}

TEST(CheckerTrial, ThreadThatCrashesRightAfterTheCloseIsBlamedOnItsPlugin) {
    zotest::tScratchDirectory directory;
    directory.add("alpha.ini", description("alpha", kAlphaPlugin, "Initialize=AlphaInit\n"));
    directory.add("napper.ini", description("napper", ZO_TEST_PLUGIN_napper,
                                            "Initialize=NapperInit\nCleanup=NapperCleanup\n"));
    const zotest::tCheckerRun json =
        zotest::runChecker({"--trial", "--json", "--plugins-dir", directory.path});
    ASSERT_EQ(1, json.exitStatus) << json.output << json.errors;
    const Json report = Json::parse(json.output);
    EXPECT_EQ(2, report.at("trial").at("children"));
    std::map<std::string, Json> plugins = pluginsByName(report);
    EXPECT_TRUE(plugins["alpha"].at("clean")) << plugins["alpha"].dump(2);
    EXPECT_EQ("crashed", plugins["napper"].at("end")) << plugins["napper"].dump(2);
    EXPECT_EQ("Cleanup", plugins["napper"].at("failedStep"));
    // The thread runs again from its Cleanup on and faults the first time it
    // runs after the close: while the close still runs, or during the look
    // for what the plugin left, whichever the machine's scheduling makes it.
    const bool afterClose = plugins["napper"].at("afterClose");
    EXPECT_EQ(afterClose ? std::vector<int>({0, 0, 0}) : std::vector<int>({0, 0}),
              stepCodes(plugins["napper"]));

    const zotest::tCheckerRun text =
        zotest::runChecker({"--trial", "--plugins-dir", directory.path});
    const std::string crashed = "\"napper\" (" + directory.path + "/napper.ini): crashed ";
    EXPECT_TRUE(
        contains(text.output,
                 crashed + "after its Cleanup and close: signal SIGSEGV (Segmentation fault); "
                           "a thread it left running most likely ran into its closed library\n") ||
        // Caught while its Cleanup still runs; the faulting address may add
        // that it lies in the plugin's own code.
        contains(text.output, crashed + "in Cleanup: signal SIGSEGV (Segmentation fault)"))
        << text.output;
}

TEST(CheckerTrial, ExceptionsAreReportedWithTheirTypeAndTheStepThatThrew) {
    zotest::tScratchDirectory directory;
    const std::string throwing = ZO_TEST_PLUGIN_throwing;
    // The plugin's own classes first: no other plugin holds the library open
    // yet, so it is closed right after each of them threw.
    directory.add("a.ini", description("a", throwing, "Initialize=ThrowingFaultInit\n"));
    directory.add("b.ini", description("b", throwing, "Initialize=ThrowingOddityInit\n"));
    directory.add("c.ini", description("c", throwing, "Initialize=ThrowingInit\n"));
    directory.add("d.ini", description("d", throwing, "Stop=ThrowingStop\n"));
    directory.add("e.ini", description("e", throwing, "Stop=ThrowingStandardStop\n"));
    const zotest::tCheckerRun run =
        zotest::runChecker({"--trial", "--json", "--plugins-dir", directory.path});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    const Json report = Json::parse(run.output);
    const Json& trial = report.at("trial");
    EXPECT_EQ(1, trial.at("children"));
    const std::vector<std::vector<std::string>> expected = {
        {"-52003 (anonymous namespace)::tDeviceFault: the device went away", "not run", "not run"},
        {"-52003 (anonymous namespace)::tPluginOddity", "not run", "not run"},
        {"-52003 int", "not run", "not run"},
        {"0", "-52003 int", "0"},
        {"0", "-52003 std::runtime_error: the device went away", "0"},
    };
    ASSERT_EQ(expected.size(), trial.at("plugins").size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Json& plugin = trial.at("plugins")[i];
        EXPECT_EQ("completed", plugin.at("end")) << plugin.dump(2);
        std::vector<std::string> steps;
        for (const Json& step : plugin.at("steps")) {
            if (step.at("code").is_null()) {
                steps.push_back("not run");
                continue;
            }
            steps.push_back(std::to_string(step.at("code").get<int>()) +
                            (step.at("exception").is_null()
                                 ? ""
                                 : " " + step.at("exception").get<std::string>()));
        }
        EXPECT_EQ(expected[i], steps) << plugin.dump(2);
    }
}

TEST(CheckerTrial, SaysWhoItRanAsWhereAndWhatDiffersFromTheService) {
    zotest::tScratchDirectory directory;
    directory.add("alpha.ini", description("alpha", kAlphaPlugin, "Initialize=AlphaInit\n"));
    const zotest::tCheckerRun run = zotest::runChecker({"--trial", "--plugins-dir", directory.path},
                                                       {"LD_LIBRARY_PATH=/nowhere"});
    EXPECT_EQ(0, run.exitStatus) << run.output << run.errors;
    char workingDirectory[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(workingDirectory, sizeof workingDirectory));
    for (const std::string& line : {
             "(uid " + std::to_string(geteuid()) + "), in " + workingDirectory +
                 ", with this checker's environment\n",
             "  differs from the service: working directory " + std::string(workingDirectory) +
                 " (the service's: /)\n",
             std::string("  differs from the service: LD_LIBRARY_PATH /nowhere (the service's: "
                         "unset)\n"),
             std::string("  step timeout 10 s; running phase 1 s; 1 child process\n"),
         }) {
        EXPECT_TRUE(contains(run.output, line)) << line << run.output;
    }
    EXPECT_EQ(geteuid() == 0,
              contains(run.output,
                       "  plugin code runs as root here, with all of this checker's "
                       "rights\n"))
        << run.output;
    EXPECT_TRUE(contains(run.errors,
                         "zoKorvoPluginCheck: trial: \"alpha\" tried in child "
                         "process 1\n"))
        << run.errors;
}

TEST(CheckerTrial, TimesAreSecondsCountsWithTrialAndHelpSaysSo) {
    zotest::tScratchDirectory directory;
    directory.add("alpha.ini", description("alpha", kAlphaPlugin));
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--step-timeout", "1", "--plugins-dir", directory.path},
             {"--trial", "--step-timeout", "0", "--plugins-dir", directory.path},
             {"--trial", "--step-timeout", "-1", "--plugins-dir", directory.path},
             {"--trial", "--step-timeout", "1s", "--plugins-dir", directory.path},
             {"--trial", "--step-timeout", "86401", "--plugins-dir", directory.path},
             {"--run-for", "1", "--plugins-dir", directory.path},
             {"--trial", "--run-for", "-1", "--plugins-dir", directory.path},
             {"--trial", "--run-for", "x", "--plugins-dir", directory.path},
         }) {
        const zotest::tCheckerRun run = zotest::runChecker(arguments);
        EXPECT_EQ(2, run.exitStatus) << arguments[1] << " " << arguments[2];
        EXPECT_TRUE(contains(run.errors, arguments[0] == "--trial" ? arguments[1] : arguments[0]))
            << run.errors;
    }
    const zotest::tCheckerRun help = zotest::runChecker({"--help"});
    for (const char* part : {"--trial ", "--step-timeout SECONDS", "(default 10)",
                             "--run-for SECONDS", "or in the trial a plugin crashed, hung,"}) {
        EXPECT_TRUE(contains(help.output, part)) << part;
    }
}

#ifdef ZO_EXAMPLE_LIBRARY_DIR
TEST(CheckerTrial, BundledExamplesTryCleanUnderEitherDeploymentSetting) {
    struct tCase {
        const char* deployment;
        int exitStatus;  // a refused Deployer makes it 1 before any trial
        std::vector<std::string> tried;
    };
    const std::vector<tCase> cases = {
        {"allowed", 0, {"Clock", "Deployer", "Greeter"}},
        {"denied", 1, {"Clock", "Greeter"}},
    };
    const std::string examples = ZO_EXAMPLE_SOURCE_DIR;
    for (const tCase& test : cases) {
        const zotest::tCheckerRun run = zotest::runChecker(
            {"--trial", "--json", "--deployment", test.deployment, examples + "/clock.ini",
             examples + "/greeter.ini", examples + "/deployer.ini"},
            // With a greeting of its own the Greeter returns 0, not its warning.
            {std::string("LD_LIBRARY_PATH=") + ZO_EXAMPLE_LIBRARY_DIR, "ZO_EXAMPLE_GREETING=Hi"});
        EXPECT_EQ(test.exitStatus, run.exitStatus) << run.output << run.errors;
        const Json report = Json::parse(run.output);
        const Json& trial = report.at("trial");
        EXPECT_EQ(1, trial.at("children")) << test.deployment;
        std::vector<std::string> tried;
        for (const Json& plugin : trial.at("plugins")) {
            tried.push_back(plugin.at("name"));
            EXPECT_TRUE(plugin.at("clean")) << plugin.dump(2);
            EXPECT_EQ(3u, plugin.at("steps").size()) << plugin.dump(2);
        }
        EXPECT_EQ(test.tried, tried) << test.deployment;
    }
}
#endif

// ---- What a process holds ---------------------------------------------------------------

TEST(ProcessSnapshot, SeesThreadsDescriptorsChildrenAndMappingsComeAndGo) {
    using nPluginCheck::addedSince;
    using nPluginCheck::takeProcessSnapshot;
    const nPluginCheck::tProcessSnapshot before = takeProcessSnapshot();
    const int descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    int toThread[2];
    ASSERT_EQ(0, pipe(toThread));
    std::thread waiting([&toThread] {
        char byte;
        (void)read(toThread[0], &byte, 1);
    });
    const pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    const nPluginCheck::tProcessSnapshot added = addedSince(before, takeProcessSnapshot());
    EXPECT_EQ(1u, added.threads.size());
    EXPECT_EQ(3u, added.descriptors.size());  // /dev/null and the pipe's two ends
    EXPECT_EQ("fd " + std::to_string(descriptor) + " -> /dev/null",
              added.descriptors.at(descriptor));
    ASSERT_EQ(1u, added.children.count(child));
    EXPECT_TRUE(contains(added.children.at(child), "process " + std::to_string(child) + " ("));

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    (void)write(toThread[1], "x", 1);
    waiting.join();
    close(toThread[0]);
    close(toThread[1]);
    close(descriptor);
    // A joined thread's entry may linger a moment.
    ASSERT_TRUE(zotest::waitFor([&before] {
        const nPluginCheck::tProcessSnapshot now = addedSince(before, takeProcessSnapshot());
        return now.threads.empty() && now.descriptors.empty() && now.children.empty();
    }));

    const std::string library = canonical(kAlphaPlugin);
    EXPECT_FALSE(nPluginCheck::fileMapped(library));
    void* handle = dlopen(library.c_str(), RTLD_NOW);
    ASSERT_NE(nullptr, handle);
    EXPECT_TRUE(nPluginCheck::fileMapped(library));
    dlclose(handle);
    EXPECT_FALSE(nPluginCheck::fileMapped(library));
}

TEST(TrialEvents, EveryEventSurvivesItsLineAndBrokenLinesAreRefused) {
    using nPluginCheck::tTrialEvent;
    using nPluginCheck::tTrialEventKind;
    tTrialEvent ended;
    ended.kind = tTrialEventKind::ended;
    ended.plugin = 3;
    ended.step.step = tPluginStep::cleanup;
    ended.step.code = -52005;
    ended.step.timeMs = 12;
    ended.step.exception = "std::logic_error: a\nb";
    ended.step.ran = false;
    ended.step.findings = {"closed descriptors it did not open: 3"};
    // A Cleanup's end that opens the look after the close keeps the step's all.
    tTrialEvent checking = ended;
    checking.kind = tTrialEventKind::checking;
    tTrialEvent leftovers;
    leftovers.kind = tTrialEventKind::leftovers;
    leftovers.plugin = 1;
    leftovers.leftovers.threads = {"thread 5 (x)"};
    leftovers.leftovers.libraries = {"/lib/x.so"};
    tTrialEvent fault;
    fault.kind = tTrialEventKind::fault;
    fault.plugin = nPluginCheck::kNoPlugin;
    fault.signal = SIGBUS;
    fault.library = "/lib/y.so";
    for (const tTrialEvent& event : {ended, checking, leftovers, fault}) {
        const std::string line = nPluginCheck::encodeTrialEvent(event);
        ASSERT_EQ(std::string::npos, line.find('\n')) << line;
        tTrialEvent decoded;
        ASSERT_TRUE(nPluginCheck::decodeTrialEvent(line, decoded)) << line;
        EXPECT_EQ(line, nPluginCheck::encodeTrialEvent(decoded));
    }
    EXPECT_NE(std::string::npos, nPluginCheck::encodeTrialEvent(checking).find("\"code\":-52005"));
    tTrialEvent decoded;
    for (const char* broken :
         {"", "{", "{\"event\":\"ended\",\"plugin\":1,\"step\":\"Sto", "{\"event\":\"bogus\"}",
          "{\"event\":\"ended\",\"step\":\"Pause\"}", "{\"event\":\"ended\",\"plugin\":\"x\"}"}) {
        EXPECT_FALSE(nPluginCheck::decodeTrialEvent(broken, decoded)) << broken;
    }
}

}  // namespace
