// The deployment query's attempts, pauses, results and reference handling,
// against a framework made inside the test.
#include <gtest/gtest.h>

#include "FakeFramework.h"
#include "servicemanager/StepBoard.h"

namespace zotest {
namespace {

using zoKorvoRemoteService::CannotInitSystemFramework;
using zoKorvoRemoteService::DeploymentSettingNotFound;
using zoKorvoRemoteService::isDeploymentAllowed;
using zoKorvoRemoteService::tSystemObjectReference;
using tEvents = std::vector<std::string>;

tEvents repeated(const tEvents& events, int times) {
    tEvents all;
    for (int i = 0; i < times; ++i) {
        all.insert(all.end(), events.begin(), events.end());
    }
    return all;
}

tEvents concatenated(tEvents first, const tEvents& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A successful attempt keeps one added framework reference and the settings
// object; the read is followed by their release, settings first.
const tEvents kSuccessfulQuery = {"instantiate",        "createParameters",   "configure",
                                  "openConnection",     "getSettings",        "add framework",
                                  "release connection", "release parameters", "release framework",
                                  "readSetting",        "release settings",   "release framework"};

TEST(DeploymentQuery, FailedStepEndsTheAttemptReleasingWhatItObtainedInOrder) {
    struct tCase {
        tFailingStep step;
        tEvents attempt;
    };
    const tCase cases[] = {
        {tFailingStep::instantiate, {"instantiate"}},
        {tFailingStep::instantiateGivesNull, {"instantiate"}},
        {tFailingStep::createParameters, {"instantiate", "createParameters", "release framework"}},
        {tFailingStep::configure,
         {"instantiate", "createParameters", "configure", "release parameters",
          "release framework"}},
        {tFailingStep::openConnection,
         {"instantiate", "createParameters", "configure", "openConnection", "release parameters",
          "release framework"}},
        {tFailingStep::connectionIsNull,
         {"instantiate", "createParameters", "configure", "openConnection", "release parameters",
          "release framework"}},
        {tFailingStep::getSettings,
         {"instantiate", "createParameters", "configure", "openConnection", "getSettings",
          "release connection", "release parameters", "release framework"}},
        {tFailingStep::settingsIsNull,
         {"instantiate", "createParameters", "configure", "openConnection", "getSettings",
          "release connection", "release parameters", "release framework"}},
    };
    for (const tCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.step));
        tFakeFramework framework(c.step);
        EXPECT_THROW(isDeploymentAllowed(framework.seams()), CannotInitSystemFramework);
        EXPECT_EQ(framework.events(), repeated(concatenated(c.attempt, {"pause 10000"}), 7));
        EXPECT_EQ(framework.liveReferences(), 0);
    }
}

TEST(DeploymentQuery, SucceedsAfterFailedAttemptsWithOnePauseEach) {
    for (int failures : {1, 2, 6}) {
        SCOPED_TRACE(failures);
        tFakeFramework framework(tFailingStep::getSettings, failures);
        EXPECT_TRUE(isDeploymentAllowed(framework.seams()));
        const tEvents failedAttempt = {
            "instantiate",        "createParameters",  "configure",
            "openConnection",     "getSettings",       "release connection",
            "release parameters", "release framework", "pause 10000"};
        EXPECT_EQ(framework.events(),
                  concatenated(repeated(failedAttempt, failures), kSuccessfulQuery));
        EXPECT_EQ(framework.liveReferences(), 0);
    }
}

TEST(DeploymentQuery, EachPauseIsPostedWithTheAttemptThatFailed) {
    tFakeFramework framework(tFailingStep::getSettings, 2);
    tStepBoard board;
    zoKorvoRemoteService::tDeploymentQuerySeams seams = framework.seams();
    tEvents posted;
    seams.pause = pausePostedTo(board, [&](uint32_t) {
        const tStepSnapshot pause = board.snapshot();
        posted.push_back(stepProgressText(pause, pause.startNs));
    });
    EXPECT_TRUE(isDeploymentAllowed(seams));
    EXPECT_EQ((tEvents{"Deployment permission: attempt 1 of 7 failed, next attempt in 10 s",
                       "Deployment permission: attempt 2 of 7 failed, next attempt in 10 s"}),
              posted);
    EXPECT_EQ(tStepKind::none, board.snapshot().kind);
}

TEST(DeploymentQuery, SettingDecidesTheAnswer) {
    const std::pair<int32_t, bool> cases[] = {{0, false}, {1, true}, {-1, true}, {2, true}};
    for (const auto& [setting, allowed] : cases) {
        SCOPED_TRACE(setting);
        tFakeFramework framework(tFailingStep::none, 0, setting);
        EXPECT_EQ(isDeploymentAllowed(framework.seams()), allowed);
        EXPECT_EQ(framework.events(), kSuccessfulQuery);
        EXPECT_EQ(framework.liveReferences(), 0);
    }
}

TEST(DeploymentQuery, UnreadableSettingThrowsAfterReleasingEverything) {
    tFakeFramework framework(tFailingStep::readSetting);
    EXPECT_THROW(isDeploymentAllowed(framework.seams()), DeploymentSettingNotFound);
    EXPECT_EQ(framework.events(), kSuccessfulQuery);
    EXPECT_EQ(framework.liveReferences(), 0);
}

TEST(DeploymentQuery, ExceptionsCarryTheirTextsAndAreRuntimeErrors) {
    try {
        throw CannotInitSystemFramework();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Cannot init system framework");
    }
    try {
        throw DeploymentSettingNotFound();
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Deployment setting not found");
    }
}

TEST(SystemObjectReference, KeepsTheHeldReferenceForTheSameObjectOnly) {
    struct tCase {
        const char* assigned;  // "held", "alias" (answers as held) or "other"
        bool keepsHeld;
    };
    for (const tCase& c : {tCase{"held", true}, tCase{"alias", true}, tCase{"other", false}}) {
        SCOPED_TRACE(c.assigned);
        tFakeFramework framework;
        zosysSettings* held = framework.newSettings("held");
        zosysSettings* alias = framework.newSettings("alias", held);
        zosysSettings* other = framework.newSettings("other");
        zosysSettings* assigned = std::string(c.assigned) == "held"    ? held
                                  : std::string(c.assigned) == "alias" ? alias
                                                                       : other;
        {
            tSystemObjectReference<zosysSettings> reference;
            reference.assign(held);
            EXPECT_EQ(framework.referencesOf(held), 2);
            reference.assign(assigned);
            EXPECT_EQ(reference.get(), c.keepsHeld ? held : assigned);
            EXPECT_EQ(framework.referencesOf(held), c.keepsHeld ? 2 : 1);
            EXPECT_EQ(framework.referencesOf(assigned), c.keepsHeld && assigned != held ? 1 : 2);
        }
        EXPECT_EQ(framework.liveReferences(), 3);
    }
}

}  // namespace
}  // namespace zotest
