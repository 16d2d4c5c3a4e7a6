// The process as an administrator meets it: options, exit status, and the
// ending by the signal that stopped it.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/ServiceProcess.h"

namespace {

const char kUsage[] =
    "Usage: zoKorvoRemoteService [OPTIONS]\n"
    "  -d, --daemon   use daemon(3) to run in the background\n"
    "  -h, --help     display this help and exit\n";

TEST(CommandLine, HelpPrintsTheUsageAndExitsZero) {
    const std::vector<std::vector<std::string>> spellings = {
        {"-h"}, {"--help"}, {"--he"}, {"-d", "-h"}, {"extra", "-h"}};
    for (const auto& arguments : spellings) {
        zotest::ServiceProcess service(arguments);
        const zotest::ProcessEnd end = service.wait();
        ASSERT_TRUE(end.exited) << arguments[0];
        EXPECT_EQ(0, end.exitCode);
        EXPECT_EQ(kUsage, service.standardOutput());
        EXPECT_EQ("", service.standardError());
    }
}

TEST(CommandLine, RejectedOptionPrintsTheHintAndExitsOne) {
    const std::vector<std::vector<std::string>> spellings = {{"-x"}, {"--bogus"}, {"-x", "-h"}};
    for (const auto& arguments : spellings) {
        zotest::ServiceProcess service(arguments);
        const zotest::ProcessEnd end = service.wait();
        ASSERT_TRUE(end.exited) << arguments[0];
        EXPECT_EQ(1, end.exitCode);
        EXPECT_EQ("", service.standardOutput());
        const std::string error = service.standardError();
        const std::string hint =
            std::string("Try `") + ZO_TEST_SERVICE + " --help' for more information.\n";
        ASSERT_GE(error.size(), hint.size());
        EXPECT_EQ(hint, error.substr(error.size() - hint.size())) << error;
        EXPECT_GT(error.size(), hint.size()) << "getopt's own diagnostic comes first";
    }
}

TEST(Shutdown, EndsByTheSignalThatStoppedIt) {
    for (int sig : {SIGTERM, SIGINT}) {
        zotest::TestRoot root;
        zotest::ServiceProcess service;
        // Whether the signal comes before or after the run cycle waits, the
        // stop request is kept and the process ends by that signal.
        usleep(200 * 1000);
        service.sendSignal(sig);
        const zotest::ProcessEnd end = service.wait();
        ASSERT_FALSE(end.timedOut);
        ASSERT_TRUE(end.signaled) << "exit code " << end.exitCode;
        EXPECT_EQ(sig, end.signal);
        EXPECT_EQ("", service.standardOutput());
        EXPECT_EQ("", service.standardError());
    }
}

}  // namespace
