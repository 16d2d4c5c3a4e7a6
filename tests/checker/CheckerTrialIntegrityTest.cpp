// The trial's verdict against plugins that meddle with the process that
// tries them: its report channel, its descriptors, the signals the service
// relies on, a crash in the running phase, and the checker interrupted
// mid-trial. Also the parent's reading of the channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CheckerTestSupport.h"
#include "ReportChannel.h"
#include "support/TestPlugins.h"

namespace {

using Json = nlohmann::json;
using namespace zotest::plugins;

using zotest::description;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::map<std::string, Json> triedPlugins(const zotest::tCheckerRun& run) {
    std::map<std::string, Json> plugins;
    const Json report = Json::parse(run.output);
    for (const Json& plugin : report.at("trial").at("plugins")) {
        plugins[plugin.at("name")] = plugin;
    }
    return plugins;
}

// Every finding of every step the plugin's trial reports.
std::vector<std::string> findingsOf(const Json& plugin) {
    std::vector<std::string> findings;
    for (const Json& step : plugin.at("steps")) {
        for (const Json& finding : step.at("findings")) {
            findings.push_back(finding);
        }
    }
    return findings;
}

bool anyContains(const std::vector<std::string>& texts, const std::string& part) {
    for (const std::string& text : texts) {
        if (contains(text, part)) {
            return true;
        }
    }
    return false;
}

TEST(CheckerTrialIntegrity, PluginThatScribblesOnOrClosesTheChannelIsNeverClean) {
    zotest::tScratchDirectory directory;
    directory.add("alpha.ini", description("alpha", kAlphaPlugin, "Initialize=AlphaInit\n"));
    directory.add("scribbler.ini", description("scribbler", ZO_TEST_PLUGIN_scribbler,
                                               "Dependencies=alpha\nInitialize=ScribblerInit\n"));
    directory.add("wideCloser.ini", description("wideCloser", ZO_TEST_PLUGIN_wideCloser,
                                                "Initialize=WideCloserInit\n"));
    const zotest::tCheckerRun run = zotest::runChecker(
        {"--trial", "--json", "--run-for", "0", "--plugins-dir", directory.path});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    std::map<std::string, Json> plugins = triedPlugins(run);
    EXPECT_TRUE(plugins["alpha"].at("clean")) << plugins["alpha"].dump(2);
    // Six stray bytes, then -5 from its Initialize.
    const Json& scribbler = plugins["scribbler"];
    EXPECT_FALSE(scribbler.at("clean"));
    ASSERT_FALSE(scribbler.at("channelFaults").empty()) << scribbler.dump(2);
    EXPECT_EQ("wrote 6 bytes into the trial's report channel during its Initialize",
              scribbler.at("channelFaults")[0])
        << scribbler.dump(2);
    EXPECT_EQ(-5, scribbler.at("steps")[0].at("code"));
    // Every descriptor from 3 up, the channel too: the child can tell nothing more.
    EXPECT_EQ("broke-channel", plugins["wideCloser"].at("end")) << plugins["wideCloser"].dump(2);
    EXPECT_EQ("Initialize", plugins["wideCloser"].at("failedStep"));
}

TEST(CheckerTrialIntegrity, DescriptorCloserIsToldAndTheNextPluginsFileStaysItsOwn) {
    zotest::tScratchDirectory directory;
    const std::string data = directory.path + "/opener.data";
    directory.add("closer.ini",
                  description("closer", ZO_TEST_PLUGIN_closer, "Initialize=CloserInit\n"));
    directory.add(
        "opener.ini",
        description("opener", ZO_TEST_PLUGIN_opener,
                    "Dependencies=closer\nInitialize=OpenerInit\nCleanup=OpenerCleanup\n"));
    const zotest::tCheckerRun run = zotest::runChecker(
        {"--trial", "--json", "--run-for", "0.1", "--plugins-dir", directory.path},
        {"ZO_TEST_PLUGIN_DATA=" + data});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    std::map<std::string, Json> plugins = triedPlugins(run);
    EXPECT_EQ("completed", plugins["closer"].at("end")) << plugins["closer"].dump(2);
    // The trial holds descriptors 3 and 4 as the service holds its own; the
    // closer's data file then took number 3 again, which is no excuse.
    EXPECT_TRUE(
        anyContains(findingsOf(plugins["closer"]), "closed descriptors it did not open: 3, 4"))
        << plugins["closer"].dump(2);
    EXPECT_TRUE(plugins["opener"].at("clean")) << plugins["opener"].dump(2);
    ASSERT_TRUE(zotest::fileExists(data));
    EXPECT_EQ("", zotest::readFile(data));
}

TEST(CheckerTrialIntegrity, SignalMeddlingIsReportedAndNoHandlerHidesACrashInTheRunningPhase) {
    zotest::tScratchDirectory directory;
    directory.add("termBlocker.ini", description("termBlocker", ZO_TEST_PLUGIN_termBlocker,
                                                 "Initialize=TermBlockerInit\n"));
    directory.add("intHandler.ini", description("intHandler", ZO_TEST_PLUGIN_intHandler,
                                                "Initialize=IntHandlerInit\n"));
    directory.add("segvHandler.ini", description("segvHandler", ZO_TEST_PLUGIN_segvHandler,
                                                 "Initialize=SegvHandlerInit\n"));
    // Started last, so that no other plugin's Initialize runs when it faults.
    directory.add("lateCrasher.ini",
                  description("lateCrasher", ZO_TEST_PLUGIN_lateCrasher,
                              "Dependencies=segvHandler, termBlocker, intHandler\n"
                              "Initialize=LateCrasherInit\n"));
    const zotest::tCheckerRun run = zotest::runChecker(
        {"--trial", "--json", "--run-for", "2", "--plugins-dir", directory.path});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    std::map<std::string, Json> plugins = triedPlugins(run);
    const std::vector<std::pair<const char*, const char*>> findings = {
        {"termBlocker", "blocked SIGTERM on the thread that calls its entry points"},
        {"intHandler", "installed a handler for SIGINT"},
        {"intHandler", "left the handler of SIGINT pointing into its closed library"},
        {"segvHandler", "installed an action of its own for SIGSEGV"},
    };
    for (const auto& [name, finding] : findings) {
        EXPECT_FALSE(plugins[name].at("clean")) << name;
        EXPECT_TRUE(anyContains(findingsOf(plugins[name]), finding)) << plugins[name].dump(2);
    }
    // Its worker faults 300 ms after its Initialize, the last, well inside
    // the running phase of 2 s.
    const Json& crasher = plugins["lateCrasher"];
    EXPECT_EQ("crashed", crasher.at("end")) << crasher.dump(2);
    EXPECT_TRUE(crasher.at("inRunningPhase")) << crasher.dump(2);
    EXPECT_EQ(nullptr, crasher.at("failedStep")) << crasher.dump(2);
    EXPECT_EQ("SIGSEGV", crasher.at("signalName")) << crasher.dump(2);
    char library[PATH_MAX];
    ASSERT_NE(nullptr, realpath(ZO_TEST_PLUGIN_lateCrasher, library));
    EXPECT_EQ(library, crasher.at("faultLibrary")) << crasher.dump(2);

    const zotest::tCheckerRun text =
        zotest::runChecker({"--trial", "--run-for", "2", "--plugins-dir", directory.path});
    EXPECT_TRUE(contains(text.output, "\"lateCrasher\" (" + directory.path +
                                          "/lateCrasher.ini): crashed in the running phase, in "
                                          "its own code (" +
                                          library + "): signal SIGSEGV"))
        << text.output;
}

TEST(CheckerTrialIntegrity, SigtermDuringAHangEndsEveryProcessAndPrintsTheReportSoFar) {
    zotest::tScratchDirectory directory;
    const std::string log = directory.path + "/calls.log";
    directory.add("processLeaver.ini", description("processLeaver", ZO_TEST_PLUGIN_processLeaver,
                                                   "Initialize=ProcessLeaverInit\n"));
    directory.add(
        "hanger.ini",
        description("hanger", ZO_TEST_PLUGIN_hanger,
                    "Dependencies=processLeaver\nInitialize=HangerInit\nStop=HangerStop\n"));
    zotest::ServiceProcess checker(
        {"--trial", "--run-for", "0", "--step-timeout", "60", "--plugins-dir", directory.path},
        {"ZO_TEST_PLUGIN_LOG=" + log}, ZO_TEST_CHECKER);
    ASSERT_TRUE(zotest::waitFor([&log] {
        return zotest::fileExists(log) && contains(zotest::readFile(log), "hanger Stop\n");
    })) << (zotest::fileExists(log) ? zotest::readFile(log) : "no log");
    checker.sendSignal(SIGTERM);
    const zotest::ProcessEnd end = checker.wait();
    ASSERT_TRUE(end.exited) << checker.standardError();
    EXPECT_EQ(1, end.exitCode);
    const std::string output = checker.standardOutput();
    EXPECT_TRUE(contains(output, "INTERRUPTED: the trial was ended early")) << output;
    EXPECT_TRUE(
        contains(output, "\"hanger\" (" + directory.path + "/hanger.ini): interrupted in Stop\n"))
        << output;
    EXPECT_TRUE(contains(output, " 2 interrupted)\n")) << output;
    // The process the plugin started is gone with the trial.
    const std::string calls = zotest::readFile(log);
    const size_t at = calls.find("processLeaver Process ");
    ASSERT_NE(std::string::npos, at) << calls;
    const long pid = std::atol(calls.c_str() + at + strlen("processLeaver Process "));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(
        zotest::waitFor([pid] { return !zotest::fileExists("/proc/" + std::to_string(pid)); },
                        std::chrono::seconds(2)));
}

TEST(CheckerTrialIntegrity, UsageErrorUnderJsonIsTheErrorObject) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--json", "--trial", "--run-for", "soon"},
             {"--step-timeout", "1", "--json"},
             {"--json", "--no-such-option"},
         }) {
        const zotest::tCheckerRun run = zotest::runChecker(arguments);
        EXPECT_EQ(2, run.exitStatus) << arguments[0];
        const Json error = Json::parse(run.output, nullptr, false);
        ASSERT_TRUE(error.is_object()) << run.output;
        EXPECT_TRUE(error.at("error").is_string()) << run.output;
    }
}

// ---- The channel's two ends -------------------------------------------------------------

TEST(ReportChannel, LiesHighAndWritesNothingOnceItsNumberIsAnotherFile) {
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    const std::string token = nPluginCheck::newChannelToken();
    nPluginCheck::tReportChannel channel(ends[1], token);
    rlimit limit = {};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    // Above the numbers a plugin closes or takes by habit: the upper half of
    // what the hard limit allows, up to the kernel's usual ceiling.
    const rlim_t ceiling = std::min<rlim_t>(limit.rlim_max, rlim_t{1} << 20);
    EXPECT_GE(static_cast<rlim_t>(channel.descriptor()), ceiling / 2);
    EXPECT_EQ(FD_CLOEXEC, fcntl(channel.descriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(-1, fcntl(ends[1], F_GETFD)) << "the low number is given back";

    ASSERT_TRUE(channel.send("{}"));
    ASSERT_TRUE(channel.send("{\"b\":2}"));
    char bytes[256];
    const ssize_t count = read(ends[0], bytes, sizeof bytes);
    ASSERT_GT(count, 0);
    EXPECT_EQ(token + " 1 {}\n" + token + " 2 {\"b\":2}\n",
              std::string(bytes, static_cast<size_t>(count)));

    // A plugin closes the number and a file takes it: the channel says so
    // and writes nothing into the file.
    zotest::tScratchDirectory directory;
    const std::string file = directory.add("taken", "");
    const int taken = open(file.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(taken, 0);
    // The channel lies above the soft limit where that is lower than the
    // hard one (the channel raises it for a moment): so does a plugin.
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &raised));
    ASSERT_EQ(channel.descriptor(), dup2(taken, channel.descriptor()));
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    close(taken);
    EXPECT_FALSE(channel.intact());
    EXPECT_FALSE(channel.send("{}"));
    EXPECT_EQ("", zotest::readFile(file));
    close(channel.descriptor());
    close(ends[0]);
}

TEST(ReportStream, TakesWholeFramesInTurnAndNamesEverythingElse) {
    using nPluginCheck::tReceived;
    const std::string token = nPluginCheck::newChannelToken();
    EXPECT_EQ(16u, token.size());
    EXPECT_NE(token, nPluginCheck::newChannelToken());
    struct tCase {
        std::string bytes;
        std::vector<std::string> expected;  // "message:<text>", "stray:<bytes>", "outOfTurn"
    };
    const std::vector<tCase> cases = {
        {token + " 1 {}\n" + token + " 2 {\"a\":1}\n", {"message:{}", "message:{\"a\":1}"}},
        {"stray!" + token + " 1 {}\n", {"stray:stray!", "message:{}"}},
        {"junk\n" + token + " 1 {}\n", {"stray:junk\n", "message:{}"}},
        {token + " 2 {}\n", {"outOfTurn", "message:{}"}},
        {token + " x {}\n", {"stray:" + token + " x {}\n"}},
        {"0123456789abcdef 1 {}\n", {"stray:0123456789abcdef 1 {}\n"}},
        {token + " 1 {", {"stray:" + token + " 1 {"}},
    };
    for (const tCase& test : cases) {
        nPluginCheck::tReportStream stream(token);
        std::vector<tReceived> received;
        // Byte by byte: the frames may come in any pieces.
        for (char byte : test.bytes) {
            stream.take(&byte, 1, received);
        }
        stream.finish(received);
        std::vector<std::string> got;
        for (const tReceived& item : received) {
            got.push_back(item.kind == tReceived::tKind::message ? "message:" + item.text
                          : item.kind == tReceived::tKind::stray ? "stray:" + item.text
                                                                 : "outOfTurn");
        }
        EXPECT_EQ(test.expected, got) << test.bytes;
    }
}

}  // namespace

namespace {

// An abort() or std::terminate() in a plugin's own thread faults in the C
// library, called from the plugin's code: the plugin is still named, and the
// plugins before it are tried again to their end.
TEST(CheckerTrialIntegrity, AbortInTheRunningPhaseNamesThePluginWhoseCodeCalledIt) {
    struct tCase {
        const char* name;
        std::string library;
        const char* initialize;
    };
    const tCase cases[] = {
        {"aborter", ZO_TEST_PLUGIN_aborter, "AborterInit"},
        {"terminator", ZO_TEST_PLUGIN_throwing, "ThrowingTerminateLaterInit"},
    };
    for (const tCase& test : cases) {
        SCOPED_TRACE(test.name);
        zotest::tScratchDirectory directory;
        directory.add("alpha.ini",
                      description("alpha", kAlphaPlugin,
                                  "Initialize=AlphaInit\nStop=AlphaStop\nCleanup=AlphaCleanup\n"));
        directory.add(std::string(test.name) + ".ini",
                      description(test.name, test.library,
                                  std::string("Initialize=") + test.initialize + "\n"));
        // The abort comes 300 ms after its Initialize, well inside the running phase.
        const zotest::tCheckerRun run = zotest::runChecker(
            {"--trial", "--json", "--run-for", "2", "--plugins-dir", directory.path});
        ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
        std::map<std::string, Json> plugins = triedPlugins(run);
        const Json& culprit = plugins[test.name];
        EXPECT_EQ("crashed", culprit.at("end")) << culprit.dump(2);
        EXPECT_TRUE(culprit.at("inRunningPhase")) << culprit.dump(2);
        EXPECT_EQ("SIGABRT", culprit.at("signalName")) << culprit.dump(2);
        EXPECT_EQ("completed", plugins["alpha"].at("end")) << plugins["alpha"].dump(2);
        EXPECT_TRUE(plugins["alpha"].at("clean")) << plugins["alpha"].dump(2);
    }
}

// What keeps a library mapped is said with its fix; built with the kit's
// -fno-gnu-unique the same C++ plugin tries clean.
TEST(CheckerTrialIntegrity, LibraryThatStaysMappedIsExplainedAndTheKitsFlagsAvoidIt) {
    zotest::tScratchDirectory directory;
    directory.add("resident.ini",
                  description("resident", ZO_TEST_PLUGIN_resident, "Initialize=ResidentInit\n"));
    directory.add("unique.ini",
                  description("unique", ZO_TEST_PLUGIN_unique, "Initialize=ThrowingUniqueInit\n"));
    const zotest::tCheckerRun run = zotest::runChecker(
        {"--trial", "--json", "--run-for", "0", "--plugins-dir", directory.path});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    std::map<std::string, Json> plugins = triedPlugins(run);
    std::vector<std::pair<const char*, std::vector<std::string>>> expected = {
        {"resident", {"DF_1_NODELETE", "-z nodelete"}},
    };
    // Only g++ makes GNU unique symbols: a clang build's "unique" has none.
    if (ZO_TEST_GNU_UNIQUE != 0) {
        expected.push_back(
            {"unique", {"GNU unique symbols (uniqueName[abi:cxx11]()::name)", "-fno-gnu-unique"}});
    }
    for (const auto& [name, parts] : expected) {
        const Json& leftovers = plugins[name].at("leftovers");
        ASSERT_EQ(1u, leftovers.size()) << plugins[name].dump(2);
        EXPECT_EQ("library", leftovers[0].at("kind"));
        for (const std::string& part : parts) {
            EXPECT_TRUE(contains(leftovers[0].at("why"), part)) << leftovers[0].dump(2);
        }
    }
    const zotest::tCheckerRun text =
        zotest::runChecker({"--trial", "--run-for", "0", "--plugins-dir", directory.path});
    EXPECT_EQ(ZO_TEST_GNU_UNIQUE != 0,
              contains(text.output, "       why: it defines GNU unique symbols"))
        << text.output;

    zotest::tScratchDirectory kitBuilt;
    kitBuilt.add("kitBuilt.ini", description("kitBuilt", ZO_TEST_PLUGIN_kitBuilt,
                                             "Initialize=ThrowingUniqueInit\n"));
    const zotest::tCheckerRun clean =
        zotest::runChecker({"--trial", "--json", "--run-for", "0", "--plugins-dir", kitBuilt.path});
    EXPECT_EQ(0, clean.exitStatus) << clean.output << clean.errors;
    EXPECT_TRUE(triedPlugins(clean)["kitBuilt"].at("clean")) << clean.output;
}

// Writes to descriptors it did not open, and a library it cannot bind, are
// the step's findings, the second in the loader's words.
TEST(CheckerTrialIntegrity, StrayWritesAndTheLoadersWordsAreFindingsOfTheStep) {
    zotest::tScratchDirectory directory;
    directory.add("writer.ini", description("writer", ZO_TEST_PLUGIN_writer,
                                            "Initialize=WriterInit\nStop=WriterStop\n"));
    directory.add("unbound.ini", description("unbound", kAlphaPlugin, "Initialize=NoSuchInit\n"));
    const zotest::tCheckerRun run = zotest::runChecker(
        {"--trial", "--json", "--run-for", "0", "--plugins-dir", directory.path});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    std::map<std::string, Json> plugins = triedPlugins(run);
    EXPECT_FALSE(plugins["writer"].at("clean"));
    EXPECT_TRUE(anyContains(findingsOf(plugins["writer"]),
                            "wrote to descriptors it did not open: 3 (5 bytes), 4 (5 bytes)"))
        << plugins["writer"].dump(2);
    EXPECT_TRUE(anyContains(findingsOf(plugins["unbound"]), "the loader found no entry point: ") &&
                anyContains(findingsOf(plugins["unbound"]), "NoSuchInit"))
        << plugins["unbound"].dump(2);
}

}  // namespace

namespace {

// A library's constructors (or the loader's work) are a step of their own,
// "Load": a crash or hang there is not blamed on Initialize.
TEST(CheckerTrialIntegrity, CrashOrHangInAConstructorIsReportedInLoad) {
    zotest::tScratchDirectory directory;
    zotest::addFaultyConstructors(directory);
    const zotest::tCheckerRun run =
        zotest::runChecker({"--trial", "--json", "--step-timeout", "1", "--run-for", "0",
                            "--plugins-dir", directory.path});
    ASSERT_EQ(1, run.exitStatus) << run.output << run.errors;
    std::map<std::string, Json> plugins = triedPlugins(run);
    EXPECT_EQ("crashed", plugins["crashing"].at("end")) << plugins["crashing"].dump(2);
    EXPECT_EQ("Load", plugins["crashing"].at("failedStep")) << plugins["crashing"].dump(2);
    EXPECT_EQ("hung", plugins["hanging"].at("end")) << plugins["hanging"].dump(2);
    EXPECT_EQ("Load", plugins["hanging"].at("failedStep")) << plugins["hanging"].dump(2);
    EXPECT_TRUE(plugins["zulu"].at("clean")) << plugins["zulu"].dump(2);

    const zotest::tCheckerRun text = zotest::runChecker(
        {"--trial", "--step-timeout", "1", "--run-for", "0", "--plugins-dir", directory.path});
    EXPECT_TRUE(contains(text.output, "/crashing.ini): crashed in Load: signal SIGSEGV"))
        << text.output;
    EXPECT_TRUE(contains(text.output, "/hanging.ini): hung in Load: still running after 1 s"))
        << text.output;
}

}  // namespace
