// Libraries judged ahead, on the precheck's own thread: which verdicts the
// start pass may take at a library's turn, and which it must judge again.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "safety/LibraryPrecheck.h"
#include "safety/PathSafety.h"
#include "support/SafetyRun.h"
#include "support/ServiceProcess.h"

namespace {

const std::string kPlainPlugin = ZO_TEST_PLUGIN_plain;

class LibraryPrecheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = std::string(ZO_TEST_BINARY_DIR) + "/precheck." + std::to_string(getpid());
        zotest::removeTree(scratch);
        zotest::makeDirectory(scratch, 0755);
        for (const char* name : {"/kept.so", "/loosened.so", "/replaced.so", "/group.so"}) {
            zotest::copyLibrary(kPlainPlugin, scratch + name);
        }
        zotest::setMode(scratch + "/group.so", 0775);
    }
    void TearDown() override { zotest::removeTree(scratch); }

    // As a pass that begins now finds the library: its directory judged anew.
    bool taken(const tLibraryPrecheck& ahead, const std::string& name) const {
        tPathSafety pathSafety;
        tFileIdentity identity;
        return ahead.take(scratch + name, pathSafety, identity) && identity.known;
    }

    std::string scratch;
};

TEST_F(LibraryPrecheckTest, OnlyASafeVerdictOnTheVeryFileJudgedIsTaken) {
    tLibraryPrecheck ahead;
    ahead.expect(8);
    for (const char* name : {"/kept.so", "/loosened.so", "/replaced.so", "/group.so"}) {
        ahead.judge(scratch + name);
    }
    ahead.allHandedOver();
    ASSERT_TRUE(zotest::waitFor([&] { return ahead.allJudged(); }));
    ahead.finish();
    zotest::setMode(scratch + "/loosened.so", 0775);
    zotest::copyLibrary(kPlainPlugin, scratch + "/replacement.so");
    ASSERT_EQ(0, rename((scratch + "/replacement.so").c_str(), (scratch + "/replaced.so").c_str()));

    EXPECT_TRUE(taken(ahead, "/kept.so"));
    EXPECT_FALSE(taken(ahead, "/loosened.so")) << "its group may write it now";
    EXPECT_FALSE(taken(ahead, "/replaced.so")) << "another file";
    EXPECT_FALSE(taken(ahead, "/group.so")) << "unsafe: judged again at its turn";
    EXPECT_FALSE(taken(ahead, "/never-handed-over.so"));
}

// The pass asks with its own strings, in its order, skipping the plugins it
// refuses: each verdict is found by the string itself, and the same rules
// hold as for a path looked up among all.
TEST_F(LibraryPrecheckTest, VerdictsLinedUpForThePassAreTakenByItsOwnStrings) {
    std::vector<tPluginDescription> plugins(5);
    const char* libraries[] = {"/kept.so", "/group.so", "/replaced.so", "/kept.so", "/loosened.so"};
    std::vector<const tPluginDescription*> pass;
    tLibraryPrecheck ahead;
    ahead.expect(plugins.size());
    for (size_t index = 0; index < plugins.size(); ++index) {
        plugins[index].path = scratch + libraries[index];
        pass.push_back(&plugins[index]);
        ahead.judge(plugins[index].path);
    }
    ahead.finish();
    ahead.arrangeFor(pass);
    zotest::copyLibrary(kPlainPlugin, scratch + "/replacement.so");
    ASSERT_EQ(0, rename((scratch + "/replacement.so").c_str(), (scratch + "/replaced.so").c_str()));
    tPathSafety pathSafety;
    tFileIdentity identity;
    EXPECT_TRUE(ahead.take(plugins[0].path, pathSafety, identity));
    EXPECT_FALSE(ahead.take(plugins[1].path, pathSafety, identity)) << "unsafe: judged at its turn";
    // plugins[2] is refused by the pass: never asked for in its order.
    EXPECT_TRUE(ahead.take(plugins[3].path, pathSafety, identity));
    EXPECT_TRUE(ahead.take(scratch + "/kept.so", pathSafety, identity))
        << "a string not the pass's own";
    zotest::setMode(scratch + "/loosened.so", 0775);
    EXPECT_FALSE(ahead.take(plugins[4].path, pathSafety, identity)) << "its group may write it now";
    EXPECT_FALSE(ahead.take(plugins[2].path, pathSafety, identity))
        << "another file, asked for late";
}

// The file is looked up by its name in its directory as the pass judges that
// directory, without following a link: what the precheck judged is taken
// only while the way to it is still the way judged.
TEST_F(LibraryPrecheckTest, AVerdictIsTakenOnlyThroughADirectoryStillSafeAndNoLink) {
    tLibraryPrecheck ahead;
    ahead.expect(2);
    ahead.judge(scratch + "/kept.so");
    ahead.judge(scratch + "/replaced.so");
    ahead.finish();
    ASSERT_TRUE(taken(ahead, "/kept.so"));
    // The very file judged, now behind a link of the same name.
    ASSERT_EQ(0, rename((scratch + "/replaced.so").c_str(), (scratch + "/real.so").c_str()));
    ASSERT_EQ(0, symlink("real.so", (scratch + "/replaced.so").c_str()));
    EXPECT_FALSE(taken(ahead, "/replaced.so")) << "a link is judged at its turn";
    // A directory that its group may write since: nothing in it is taken.
    zotest::setMode(scratch, 0775);
    EXPECT_FALSE(taken(ahead, "/kept.so")) << "its directory may be written by its group now";
    zotest::setMode(scratch, 0755);
    EXPECT_TRUE(taken(ahead, "/kept.so"));
}

// How many threads of this process may run on exactly `count` processors.
int threadsAllowedOn(int count) {
    int threads = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    while (const dirent* task = readdir(tasks)) {
        cpu_set_t allowed;
        const pid_t id = static_cast<pid_t>(atoi(task->d_name));
        if (id > 0 && sched_getaffinity(id, sizeof allowed, &allowed) == 0 &&
            CPU_COUNT(&allowed) == count) {
            ++threads;
        }
    }
    closedir(tasks);
    return threads;
}

// Woken by its maker, the judging thread would often be placed on the maker's
// processor and take turns with it there: it keeps off that one.
TEST_F(LibraryPrecheckTest, TheJudgingThreadKeepsOffItsMakersProcessor) {
    cpu_set_t allowed;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
    const int processors = CPU_COUNT(&allowed);
    if (processors < 2) {
        GTEST_SKIP() << "one processor allowed to this process: nowhere else to judge";
    }
    tLibraryPrecheck ahead;
    EXPECT_TRUE(zotest::waitFor([&] { return threadsAllowedOn(processors - 1) == 1; }));
    ahead.abandon();
    EXPECT_EQ(0, threadsAllowedOn(processors - 1));
}

TEST_F(LibraryPrecheckTest, WhatDependsOnItsMomentIsNeverJudgedAhead) {
    EXPECT_TRUE(tLibraryPrecheck::judgeableAhead(scratch + "/kept.so"));
    for (const char* path : {"kept.so", "./kept.so", "libc.so.6", "/proc/self/fd/3", ""}) {
        EXPECT_FALSE(tLibraryPrecheck::judgeableAhead(path)) << path;
    }
}

// finish() judges beside the thread what it has not reached, so that every
// library handed over has its verdict before the pass, however late the
// thread started; abandon() leaves what is left to its turn.
TEST_F(LibraryPrecheckTest, FinishingJudgesWhatIsLeftAndMayBeRepeated) {
    tLibraryPrecheck ahead;
    ahead.expect(2);
    ahead.judge(scratch + "/kept.so");
    ahead.judge(scratch + "/group.so");
    ahead.judge(scratch + "/loosened.so");  // beyond the capacity: left to its turn
    ahead.finish();
    EXPECT_TRUE(ahead.allJudged());
    ahead.finish();
    EXPECT_TRUE(taken(ahead, "/kept.so"));
    EXPECT_FALSE(taken(ahead, "/group.so"));
    EXPECT_FALSE(taken(ahead, "/loosened.so"));

    tLibraryPrecheck abandoned;
    abandoned.expect(64);
    for (int copy = 0; copy < 64; ++copy) {
        abandoned.judge(scratch + "/kept.so");
    }
    abandoned.abandon();
    abandoned.abandon();
    // Destroyed without anything handed over, the thread ends too.
    tLibraryPrecheck idle;
    idle.expect(4);
}

}  // namespace
