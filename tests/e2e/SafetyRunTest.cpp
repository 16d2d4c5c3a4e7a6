// What the service, running as root, refuses because another user could have
// changed it, as an administrator meets it: description files it never
// reads, libraries it never maps, and a status file that no planted link
// redirects. Giving a file to another user needs root: those tests skip
// without it (CI runs as root).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/DescriptionFile.h"
#include "support/PluginCallLog.h"
#include "support/SafetyRun.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;
using zotest::addDescriptions;
using zotest::tDescriptionFile;
using tLines = std::vector<std::string>;

using zotest::copyLibrary;
using zotest::giveToStranger;
using zotest::hasMapped;
using zotest::makeDirectory;
using zotest::refusedBlock;
using zotest::setMode;
using zotest::stopByTheSignal;

#define SKIP_UNLESS_ROOT() ZOTEST_SKIP_UNLESS_ROOT()

// The status file's message lines (between the service's lines and the
// first plugin block, `firstBlock`), sorted: the listing order is the
// directory's own.
tLines sortedMessages(const std::string& status, const std::string& firstBlock) {
    const size_t begin = status.find("\n\n") + 2;
    std::istringstream messages(status.substr(begin, status.find(firstBlock) - begin));
    tLines lines;
    for (std::string line; std::getline(messages, line);) {
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(UnsafeFiles, DescriptionFilesThatAnotherUserCouldChangeAreNeverRead) {
    SKIP_UNLESS_ROOT();
    zotest::TestRoot root;
    // Root's sticky directory above every file is no reason to refuse one.
    setMode(root.shareDirectory(), 01777);
    const std::string open = root.root() + "/open";
    makeDirectory(open, 0777);
    zotest::writeFile(open + "/Open.ini", tDescriptionFile{"Open", kSlowPlugin, "SlowInit"}.text());
    setMode(open + "/Open.ini", 0644);
    const std::string plugins = root.pluginsDirectory();
    ASSERT_EQ(0, symlink((open + "/Open.ini").c_str(), (plugins + "/Open.ini").c_str()));
    addDescriptions(root, {
                              {"Safe", kAlphaPlugin, "AlphaInit"},
                              {"Group", kBetaPlugin, "BetaInit"},
                              {"Stranger", kGammaPlugin, "GammaInit"},
                          });
    setMode(plugins + "/Group.ini", 0664);
    giveToStranger(plugins + "/Stranger.ini");
    root.addDescription("broken.ini", "[Service]\n\nName=Broken\n");

    zotest::tPluginCallLog log;
    zotest::ServiceProcess service({}, {log.environmentEntry()});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "Safe (depends on )\n"));
    const std::string status = zotest::normalizeMeasurements(root.statusText());
    EXPECT_EQ((tLines{
                  "Failed to parse service description file: " + plugins + "/broken.ini",
                  "Unsafe service description file: " + plugins + "/Group.ini",
                  "Unsafe service description file: " + plugins + "/Open.ini",
                  "Unsafe service description file: " + plugins + "/Stranger.ini",
              }),
              sortedMessages(status, "Safe (depends on )\n"))
        << status;
    EXPECT_EQ(status.find(" (depends on "), status.rfind(" (depends on ")) << "one plugin only";
    for (const std::string& neverRead : {kBetaPlugin, kGammaPlugin, kSlowPlugin}) {
        EXPECT_FALSE(hasMapped(service, neverRead)) << neverRead;
    }
    stopByTheSignal(service);
    EXPECT_EQ((tLines{"alpha Initialize"}), log.calls());
}

TEST(UnsafeFiles, LibrariesThatAnotherUserCouldChangeAreNeverMapped) {
    SKIP_UNLESS_ROOT();
    zotest::TestRoot root;
    const std::string lib = root.root() + "/lib";
    const std::string openLib = root.root() + "/open-lib";
    makeDirectory(lib, 0755);
    makeDirectory(openLib, 0777);
    for (const std::string& copy :
         {lib + "/own.so", lib + "/stranger.so", lib + "/group.so", openLib + "/open.so"}) {
        copyLibrary(kAnnouncingPlugin, copy);
    }
    giveToStranger(lib + "/stranger.so");
    setMode(lib + "/group.so", 0775);
    const std::string bare = "libzo_no_such_bare_name.so";
    addDescriptions(
        root, {
                  {"Own", lib + "/own.so", "AnnouncingInit", "AnnouncingStop", "AnnouncingCleanup"},
                  {"Stranger", lib + "/stranger.so", "AnnouncingInit"},
                  {"NeedsStranger", kAlphaPlugin, "AlphaInit", "", "", "Stranger"},
                  {"Group", lib + "/group.so", "AnnouncingInit"},
                  {"Open", openLib + "/open.so", "AnnouncingInit"},
                  {"Bare", bare, "BareInit"},
              });
    const tLines expectedBlocks = {
        // Its own steps may take a while on a busy machine: its log shows them.
        "Own (depends on )\nLoaded From: " + lib + "/own.so\nRequires: 1\n",
        refusedBlock("Stranger", lib + "/stranger.so", "AnnouncingInit", -52026),
        refusedBlock("NeedsStranger", kAlphaPlugin, "AlphaInit", -52006, "Stranger"),
        refusedBlock("Group", lib + "/group.so", "AnnouncingInit", -52026),
        refusedBlock("Open", openLib + "/open.so", "AnnouncingInit", -52026),
        // A bare name is the loader's own search: it finds nothing.
        refusedBlock("Bare", bare, "BareInit", -52005),
    };

    zotest::tPluginCallLog log;
    zotest::ServiceProcess service({}, {log.environmentEntry()});
    std::string status;
    EXPECT_TRUE(zotest::waitForStatusHolding(root, expectedBlocks, status)) << status;
    EXPECT_TRUE(hasMapped(service, lib + "/own.so"));
    for (const std::string& unsafe : {lib + "/stranger.so", lib + "/group.so", openLib}) {
        EXPECT_FALSE(hasMapped(service, unsafe)) << unsafe;
    }
    stopByTheSignal(service);
    // One constructor ran: the safe copy's. No code of the others ever did.
    EXPECT_EQ((tLines{"announcing Constructor", "announcing Initialize", "announcing Stop",
                      "announcing Cleanup"}),
              log.calls());
}

TEST(UnsafeFiles, LinksAtTheStatusFilesNamesAreReplacedAndItsModeIgnoresTheUmask) {
    zotest::TestRoot root;
    const std::string outside = root.root() + "/outside";
    zotest::writeFile(outside, "not the service's\n");
    for (const std::string& planted : {root.temporaryStatusFile(), root.statusFile()}) {
        ASSERT_EQ(0, symlink(outside.c_str(), planted.c_str())) << planted;
    }
    addDescriptions(root, {{"Safe", kAlphaPlugin, "AlphaInit"}});
    const mode_t saved = umask(0);
    zotest::ServiceProcess service;  // inherits the umask
    umask(saved);
    EXPECT_TRUE(zotest::waitForStatusContaining(root, "Safe (depends on )\n"));
    struct stat info;
    ASSERT_EQ(0, lstat(root.statusFile().c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0644u, info.st_mode & 07777);
    stopByTheSignal(service);
    EXPECT_EQ("not the service's\n", zotest::readFile(outside));
    EXPECT_FALSE(zotest::fileExists(root.temporaryStatusFile()));
}

// The metrics file follows the status file's rule: root writes nothing
// where another user could change the directory.
TEST(UnsafeFiles, MetricsFileInADirectoryAnotherUserCouldChangeIsNeverWritten) {
    SKIP_UNLESS_ROOT();
    zotest::TestRoot root;
    const std::string open = root.root() + "/open-metrics";
    const std::string strangers = root.root() + "/strangers-metrics";
    makeDirectory(open, 0777);
    makeDirectory(strangers, 0755);
    giveToStranger(strangers);
    addDescriptions(root, {{"Safe", kAlphaPlugin, "AlphaInit"}});
    const struct {
        std::string directory;
        std::string why;
    } cases[] = {{open, open + " is writable by others (mode 0777)"},
                 {strangers, strangers + " is owned by uid 12345"}};
    for (const auto& unsafe : cases) {
        const std::string metrics = unsafe.directory + "/zokorvo.prom";
        zotest::ServiceProcess service({"--metrics-file", metrics});
        std::string status;
        EXPECT_TRUE(zotest::waitForStatusHolding(
            root,
            {"Unsafe metrics file directory, metrics file not written: " + metrics + " (" +
                 unsafe.why + ")\n",
             "Safe (depends on )\n"},
            status))
            << status;
        stopByTheSignal(service);
        EXPECT_FALSE(zotest::fileExists(metrics));
    }
}

}  // namespace
