// The step board between the main thread and the notifier's watching thread:
// what a reader sees while steps are posted, the texts the service manager
// gets for a step, and when the watchdog is left hungry.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "servicemanager/StepBoard.h"
#include "servicemanager/StepBoardPoster.h"
#include "plugins/tPluginManager.h"

namespace {

constexpr uint64_t kSecond = 1000000000;
constexpr uint64_t kMs = 1000000;
constexpr uint64_t kStart = 5000 * kSecond;

tStepSnapshot pluginStep(tStepKind kind, const std::string& name) {
    tStepSnapshot step;
    step.kind = kind;
    step.startNs = kStart;
    step.pluginName = name;
    return step;
}

tStepSnapshot permissionPause(uint32_t failedAttempt) {
    tStepSnapshot step;
    step.kind = tStepKind::permissionPause;
    step.startNs = kStart;
    step.failedAttempt = failedAttempt;
    step.pauseMs = 10000;
    return step;
}

TEST(StepProgress, NamesAStepOnceItHasRunForASecond) {
    const struct {
        tStepSnapshot step;
        uint64_t age;
        const char* text;
        uint64_t nextChange;  // after the step's start
    } cases[] = {
        {tStepSnapshot(), 5 * kSecond, "", 6 * kSecond},
        {pluginStep(tStepKind::initialize, "Clock"), 999 * kMs, "", kSecond},
        {pluginStep(tStepKind::initialize, "Clock"), kSecond,
         "Initialize of plugin Clock running for 1 s", 2 * kSecond},
        {pluginStep(tStepKind::stop, "Deployer"), 2999 * kMs,
         "Stop of plugin Deployer running for 2 s", 3 * kSecond},
        {pluginStep(tStepKind::cleanup, "Greeter"), 61 * kSecond + 5,
         "Cleanup of plugin Greeter running for 61 s", 62 * kSecond},
        // The time left is rounded up: never "in 0 s" while the pause lasts.
        {permissionPause(1), 0,
         "Deployment permission: attempt 1 of 7 failed, next attempt in 10 s", kSecond},
        {permissionPause(3), 1500 * kMs,
         "Deployment permission: attempt 3 of 7 failed, next attempt in 9 s", 2 * kSecond},
        {permissionPause(6), 9999 * kMs,
         "Deployment permission: attempt 6 of 7 failed, next attempt in 1 s", 10 * kSecond},
        {permissionPause(7), 4 * kSecond,
         "Deployment permission: attempt 7 of 7 failed, no answer; going on in 6 s", 5 * kSecond},
    };
    for (const auto& test : cases) {
        const uint64_t now = kStart + test.age;
        EXPECT_EQ(test.text, stepProgressText(test.step, now)) << test.age;
        EXPECT_EQ(kStart + test.nextChange, nextProgressChangeNs(test.step, now)) << test.text;
    }
}

// A status must fit in one notification: a long name is cut where a reader
// sees it was, and never inside a UTF-8 character.
TEST(StepProgress, LongNameIsCutVisiblyToTwoHundredBytes) {
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"Clock", "Clock"},
        {std::string(200, 'n'), std::string(200, 'n')},
        {std::string(6000, 'n'), std::string(197, 'n') + "..."},
        // The two bytes of the first "\u00e9" lie at 196 and 197.
        {std::string(196, 'n') + "\u00e9\u00e9x", std::string(196, 'n') + "..."},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(test.shown, shownPluginName(test.name)) << test.name.size();
    }
    EXPECT_EQ(
        "Stop of plugin " + std::string(197, 'n') + "... running for 1 s",
        stepProgressText(pluginStep(tStepKind::stop, std::string(6000, 'n')), kStart + kSecond));
}

TEST(StepProgress, WatchdogIsLeftHungryOnlyByAPluginStepAsOldAsTheInterval) {
    const uint64_t intervalUs = 4000000;
    const struct {
        tStepSnapshot step;
        uint64_t age;
        bool healthy;
    } cases[] = {
        {tStepSnapshot(), 3600 * kSecond, true},
        {pluginStep(tStepKind::initialize, "Clock"), 3999 * kMs, true},
        {pluginStep(tStepKind::initialize, "Clock"), 4000 * kMs, false},
        {pluginStep(tStepKind::stop, "Clock"), 9 * kSecond, false},
        {pluginStep(tStepKind::cleanup, "Clock"), 9 * kSecond, false},
        // The query's pauses are the service's own, and end by themselves.
        {permissionPause(2), 9 * kSecond, true},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(test.healthy, serviceHealthy(test.step, kStart + test.age, intervalUs))
            << static_cast<int>(test.step.kind) << " after " << test.age;
    }
}

// A reader never sees one post's name with another post's start or kind.
TEST(StepBoard, ReaderSeesEachPostWhole) {
    tStepBoard board;
    const std::vector<std::string> names = {"first plugin", "second", "third plugin's name"};
    std::atomic<bool> posting{true};
    std::thread poster([&] {
        for (uint64_t round = 1; round <= 20000; ++round) {
            const size_t which = round % names.size();
            board.beginPluginStep(which == 0 ? tPluginStep::stop : tPluginStep::initialize,
                                  names[which], which);
            board.endStep();
            board.beginPermissionPause(static_cast<uint32_t>(which), 10000, which);
            board.endStep();
        }
        posting = false;
    });
    while (posting) {
        const tStepSnapshot step = board.snapshot();
        ASSERT_EQ(0u, step.sequence % 2);
        if (step.kind == tStepKind::permissionPause) {
            ASSERT_EQ(step.startNs, step.failedAttempt);
            ASSERT_EQ("", step.pluginName);
        } else if (step.kind != tStepKind::none) {
            ASSERT_LT(step.startNs, names.size());
            ASSERT_EQ(names[step.startNs], step.pluginName);
            ASSERT_EQ(step.startNs == 0, step.kind == tStepKind::stop);
        }
    }
    poster.join();
    EXPECT_EQ(tStepKind::none, board.snapshot().kind);
}

// The manager posts each plugin step while it runs, and nothing between them.
TEST(StepBoard, ManagerPostsThePluginStepThatIsRunning) {
    tStepBoard board;
    tStepBoardPoster poster(board);
    tPluginManager manager;
    manager.setStepObserver(&poster);
    tPluginDescription slow;
    slow.name = "slow";
    slow.path = ZO_TEST_PLUGIN_slow;
    slow.stopSymbol = "SlowStop";  // pauses 30 ms
    manager.startPlugins({slow}, 0xFFFFFFFF);
    const uint64_t posts = board.currentSequence();
    EXPECT_EQ(4u, posts) << "one begin and one end";
    std::atomic<bool> stopping{true};
    std::set<std::pair<tStepKind, std::string>> seen;
    std::thread reader([&] {
        while (stopping) {
            const tStepSnapshot step = board.snapshot();
            seen.emplace(step.kind, step.pluginName);
        }
    });
    manager.stopPlugins();
    stopping = false;
    reader.join();
    EXPECT_EQ(1u, seen.count({tStepKind::stop, "slow"}));
    manager.cleanupPlugins();
    EXPECT_EQ(tStepKind::none, board.snapshot().kind);
    EXPECT_EQ(posts + 8, board.currentSequence());
}

// The poster shows each plugin step under its own kind and name from its
// begin until its end, keeps it through a raise, and clears the board when
// the start pass is abandoned.
TEST(StepBoard, PosterShowsEachStepUntilItEndsOrThePassIsAbandoned) {
    tPluginRecord record;
    record.description.name = "Clock";
    for (const tPluginStep step :
         {tPluginStep::initialize, tPluginStep::stop, tPluginStep::cleanup}) {
        SCOPED_TRACE(pluginStepName(step));
        tStepBoard board;
        tStepBoardPoster poster(board);
        poster.stepBegins(record, step);
        tStepSnapshot shown = board.snapshot();
        EXPECT_EQ(stepKindOf(step), shown.kind);
        EXPECT_EQ("Clock", shown.pluginName);
        EXPECT_NE(0u, shown.startNs);
        poster.stepRaised(record, step);
        EXPECT_EQ(shown.sequence, board.currentSequence()) << "a raise posts nothing";
        EXPECT_EQ(std::string(pluginStepName(step)) + " of plugin Clock running for 2 s",
                  stepProgressText(shown, shown.startNs + 2 * kSecond));
        poster.stepEnded(record, step);
        EXPECT_EQ(tStepKind::none, board.snapshot().kind);
        poster.stepBegins(record, step);
        poster.passAbandoned();
        shown = board.snapshot();
        EXPECT_EQ(tStepKind::none, shown.kind);
        EXPECT_EQ("", shown.pluginName);
    }
}

}  // namespace
