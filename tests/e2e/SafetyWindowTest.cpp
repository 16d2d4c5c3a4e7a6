// Root's safety checks against another user who acts while the service
// starts: names that user could create, libraries a safe library needs, a
// working directory a plugin changes, names that would forge status lines,
// and a shared-data directory of that user. The other user's part is played
// by files given to uid 12345 (root is needed: those tests skip without it).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

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
using zotest::blockHeader;
using zotest::copyLibrary;
using zotest::giveToStranger;
using zotest::hasMapped;
using zotest::makeDirectory;
using zotest::refusedBlock;
using zotest::tDescriptionFile;
using tLines = std::vector<std::string>;

const std::string kDawdlerPlugin = ZO_TEST_PLUGIN_dawdler;
const std::string kWandererPlugin = ZO_TEST_PLUGIN_wanderer;
const std::string kNeedyPlugin = ZO_TEST_PLUGIN_needy;
const std::string kNeededLibrary = ZO_TEST_NEEDED_LIBRARY;

// What the other user does, as the other user would own it.
void plantStrangersLibrary(const std::string& directory, const std::vector<std::string>& names) {
    makeDirectory(directory, 0755);
    for (const std::string& name : names) {
        copyLibrary(kAnnouncingPlugin, directory + "/" + name);
        giveToStranger(directory + "/" + name);
    }
    giveToStranger(directory);
}

TEST(SafetyWindow, NamesOthersCouldCreateBelowRootsStickyDirectoryAreRefusedAndStayRefused) {
    ZOTEST_SKIP_UNLESS_ROOT();
    zotest::TestRoot root;
    const std::string sticky = root.root() + "/sticky";
    makeDirectory(sticky, 01777);
    // First and Third name the same missing directory; Second, started
    // between them (the order is by name), holds the start at its gate while
    // the other user creates it with both libraries.
    addDescriptions(root, {
                              {"First", sticky + "/x/one.so", "AnnouncingInit"},
                              {"Second", kDawdlerPlugin, "DawdlerInit"},
                              {"Third", sticky + "/x/two.so", "AnnouncingInit"},
                          });
    zotest::tPluginCallLog log;
    const zotest::tPluginGate gate(root);
    zotest::ServiceProcess service({}, {log.environmentEntry(), gate.environmentEntry()});
    ASSERT_TRUE(zotest::waitFor([&] { return !log.calls().empty(); }));
    plantStrangersLibrary(sticky + "/x", {"one.so", "two.so"});
    gate.open();

    std::string status;
    EXPECT_TRUE(zotest::waitForStatusHolding(
        root,
        {refusedBlock("First", sticky + "/x/one.so", "AnnouncingInit", -52026),
         refusedBlock("Third", sticky + "/x/two.so", "AnnouncingInit", -52026)},
        status))
        << status;
    EXPECT_FALSE(hasMapped(service, sticky + "/x/"));
    zotest::stopByTheSignal(service);
    EXPECT_EQ((tLines{"dawdler Initialize"}), log.calls()) << "no planted constructor ran";
}

TEST(SafetyWindow, LibrariesASafeLibraryNeedsAreJudgedBeforeAnyOfItsCodeRuns) {
    ZOTEST_SKIP_UNLESS_ROOT();
    zotest::TestRoot root;
    // Each plugin directory holds a copy of needy, whose run path is
    // $ORIGIN/needed, and its needed library there. The refused come first
    // by name: once the safe copy is loaded, the loader takes the needed
    // library as loaded and searches no more.
    const auto lay = [&](const std::string& name) {
        const std::string directory = root.root() + "/" + name;
        makeDirectory(directory + "/needed", 0755);
        copyLibrary(kNeedyPlugin, directory + "/needy.so");
        copyLibrary(kNeededLibrary, directory + "/needed/libzo_test_needed.so");
        return directory;
    };
    const std::string groupWritable = lay("group-writable");
    zotest::setMode(groupWritable + "/needed/libzo_test_needed.so", 0775);
    const std::string strangers = lay("strangers");
    giveToStranger(strangers + "/needed");
    const std::string safe = lay("safe");
    addDescriptions(root, {
                              {"AGroupWritable", groupWritable + "/needy.so", "NeedyInit"},
                              {"BStrangers", strangers + "/needy.so", "NeedyInit"},
                              {"CSafe", safe + "/needy.so", "NeedyInit"},
                          });
    zotest::tPluginCallLog log;
    zotest::ServiceProcess service({}, {log.environmentEntry()});
    std::string status;
    EXPECT_TRUE(zotest::waitForStatusHolding(
        root,
        {refusedBlock("AGroupWritable", groupWritable + "/needy.so", "NeedyInit", -52026),
         refusedBlock("BStrangers", strangers + "/needy.so", "NeedyInit", -52026),
         blockHeader("CSafe", safe + "/needy.so") + "\n"},
        status))
        << status;
    EXPECT_TRUE(hasMapped(service, safe + "/needed/libzo_test_needed.so"));
    zotest::stopByTheSignal(service);
    EXPECT_EQ((tLines{"needed Constructor", "needy Constructor", "needy Initialize",
                      "needed Initialize"}),
              log.calls());
}

// The libraries are judged while the descriptions are read, long before
// their turn: a library replaced, or made writable by its group, while an
// earlier plugin starts is judged again at its turn. Needs no other user.
TEST(SafetyWindow, ALibraryChangedAfterItWasJudgedIsJudgedAgainAtItsTurn) {
    zotest::TestRoot root;
    const std::string lib = root.root() + "/lib";
    makeDirectory(lib, 0755);
    for (const char* name : {"/replaced.so", "/loosened.so", "/kept.so"}) {
        copyLibrary(kAnnouncingPlugin, lib + name);
    }
    addDescriptions(root, {
                              {"ADawdler", kDawdlerPlugin, "DawdlerInit"},
                              {"BReplaced", lib + "/replaced.so", "AnnouncingInit"},
                              {"CLoosened", lib + "/loosened.so", "AnnouncingInit"},
                              {"DKept", lib + "/kept.so", "AnnouncingInit"},
                          });
    zotest::tPluginCallLog log;
    const zotest::tPluginGate gate(root);
    zotest::ServiceProcess service({}, {log.environmentEntry(), gate.environmentEntry()});
    ASSERT_TRUE(zotest::waitFor([&] { return !log.calls().empty(); }));
    // A new file in the old one's place, and the old file's mode changed,
    // while the dawdler holds the start at its gate.
    copyLibrary(kAnnouncingPlugin, lib + "/replacement.so");
    zotest::setMode(lib + "/replacement.so", 0775);
    ASSERT_EQ(0, rename((lib + "/replacement.so").c_str(), (lib + "/replaced.so").c_str()));
    zotest::setMode(lib + "/loosened.so", 0775);
    gate.open();

    std::string status;
    EXPECT_TRUE(zotest::waitForStatusHolding(
        root,
        {refusedBlock("BReplaced", lib + "/replaced.so", "AnnouncingInit", -52026),
         refusedBlock("CLoosened", lib + "/loosened.so", "AnnouncingInit", -52026),
         blockHeader("DKept", lib + "/kept.so")},
        status))
        << status;
    EXPECT_FALSE(hasMapped(service, lib + "/replaced.so"));
    EXPECT_FALSE(hasMapped(service, lib + "/loosened.so"));
    zotest::stopByTheSignal(service);
    EXPECT_EQ((tLines{"dawdler Initialize", "announcing Constructor", "announcing Initialize"}),
              log.calls())
        << "only the unchanged copy's constructor ran";
}

TEST(SafetyWindow, RelativePathsLeadFromTheWorkingDirectoryOfTheMomentTheyAreOpened) {
    ZOTEST_SKIP_UNLESS_ROOT();
    zotest::TestRoot root;
    const std::string start = root.root() + "/start";
    makeDirectory(start + "/lib", 0755);
    copyLibrary(kAlphaPlugin, start + "/lib/first.so");
    copyLibrary(kGammaPlugin, start + "/lib/second.so");
    const std::string strangers = root.root() + "/strangers";
    makeDirectory(strangers, 0755);
    plantStrangersLibrary(strangers + "/lib", {"second.so"});
    giveToStranger(strangers);
    addDescriptions(root, {
                              {"A", "lib/first.so", "AlphaInit"},
                              {"B", kWandererPlugin, "WandererInit"},
                              {"C", "lib/second.so", "GammaInit"},
                          });
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
    ASSERT_EQ(0, chdir(start.c_str()));
    zotest::tPluginCallLog log;
    zotest::ServiceProcess service(
        {}, {log.environmentEntry(), "ZO_TEST_PLUGIN_DIRECTORY=" + strangers});
    ASSERT_EQ(0, chdir(saved));
    std::string status;
    EXPECT_TRUE(zotest::waitForStatusHolding(
        root, {refusedBlock("C", "lib/second.so", "GammaInit", -52026)}, status))
        << status;
    EXPECT_FALSE(hasMapped(service, strangers));
    zotest::stopByTheSignal(service);
    EXPECT_EQ((tLines{"alpha Initialize", "wanderer Initialize"}), log.calls());
}

TEST(SafetyWindow, ControlCharactersOfNamesAreEscapedOnTheirOwnLine) {
    zotest::TestRoot root;
    root.addDescription("line\nAlpha (depends on )\n.ini", "[Service]\n\nName=x\n");
    root.addDescription("esc\x1b[2J.ini",
                        tDescriptionFile{"Esc\x1b[31m\x7f", kAlphaPlugin, "Alpha\x01Init"}.text());
    zotest::ServiceProcess service;
    const std::string block =
        "Esc\\x1b[31m\\x7f (depends on )\nLoaded From: " + kAlphaPlugin +
        "\nRequires: 1\nAlpha\\x01Init Time: 0 ms\nAlpha\\x01Init Code: -52005\n\n";
    std::string status;
    EXPECT_TRUE(zotest::waitForStatusHolding(root, {block}, status)) << status;
    zotest::stopByTheSignal(service);
    const std::string messages =
        "Failed to parse service description file: " + root.pluginsDirectory() +
        "/line\\nAlpha (depends on )\\n.ini\n";
    EXPECT_NE(std::string::npos, status.find("\n\n" + messages + block)) << status;
}

TEST(SafetyWindow, SharedDataDirectoryOfAnotherUserIsNeverListed) {
    ZOTEST_SKIP_UNLESS_ROOT();
    zotest::TestRoot root;
    addDescriptions(root, {{"Alpha", kAlphaPlugin, "AlphaInit"}});
    giveToStranger(root.shareDirectory());
    zotest::tPluginCallLog log;
    zotest::ServiceProcess service({}, {log.environmentEntry()});
    const zotest::ProcessEnd end = service.wait();
    ASSERT_TRUE(end.exited);
    EXPECT_EQ(0, end.exitCode);
    EXPECT_EQ("", service.standardError());
    const std::string status = root.statusText();
    EXPECT_NE(std::string::npos,
              status.find("\n\nUnsafe plugins directory: " + root.pluginsDirectory() +
                          "\nFailed to open plugins directory.\n"))
        << status;
    EXPECT_EQ(std::string::npos, status.find("Alpha")) << status;
    EXPECT_TRUE(log.calls().empty());
}

}  // namespace
