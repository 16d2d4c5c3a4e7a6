// The keys of a plugin's own process: what each value becomes, which
// combinations refuse the plugin and why, and the user and group lookup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "plugins/PluginProcessSettings.h"

namespace {

TEST(PluginProcessSettings, ValuesAreTakenCaseBlindAndDefaultsKeepTheServicesProcess) {
    const tPluginProcessSettings none = readProcessSettings({});
    EXPECT_EQ(tIsolation::service, none.isolation);
    EXPECT_EQ(tRestartPolicy::no, none.restart);
    EXPECT_EQ(kDefaultStopTimeoutS, none.stopTimeoutS);
    EXPECT_EQ("", none.fault);

    tProcessSettingTexts texts;
    texts.isolation = "Process";
    texts.user = "nobody";
    texts.group = "65534";
    texts.restart = "On-Failure";
    texts.stopTimeout = "2";
    const tPluginProcessSettings taken = readProcessSettings(texts);
    EXPECT_EQ("", taken.fault);
    EXPECT_EQ(tIsolation::process, taken.isolation);
    EXPECT_EQ(tRestartPolicy::onFailure, taken.restart);
    EXPECT_EQ(2u, taken.stopTimeoutS);
    EXPECT_EQ("nobody", taken.user);

    texts = {};
    texts.isolation = "service";
    EXPECT_EQ("", readProcessSettings(texts).fault);
}

TEST(PluginProcessSettings, WhatCannotBeTakenNamesItsKey) {
    const struct {
        tProcessSettingTexts texts;
        const char* fault;
    } cases[] = {
        {{"thread", "", "", "", ""}, "Isolation=thread is neither \"service\" nor \"process\""},
        {{"process", "", "", "always", ""}, "Restart=always is neither \"no\" nor \"on-failure\""},
        {{"process", "", "", "", "0"}, "StopTimeoutSec=0 is not a whole number of seconds from 1 to 3600"},
        {{"process", "", "", "", "3601"}, "StopTimeoutSec=3601 is not"},
        {{"process", "", "", "", "5s"}, "StopTimeoutSec=5s is not"},
        {{"process", "", "", "", "-1"}, "StopTimeoutSec=-1 is not"},
        {{"", "nobody", "", "", ""}, "User= needs Isolation=process"},
        {{"service", "", "nogroup", "", ""}, "Group= needs Isolation=process"},
        {{"", "", "", "on-failure", ""}, "Restart= needs Isolation=process"},
        {{"", "", "", "", "5"}, "StopTimeoutSec= needs Isolation=process"},
    };
    for (const auto& refused : cases) {
        const std::string fault = readProcessSettings(refused.texts).fault;
        EXPECT_EQ(0u, fault.find(refused.fault)) << fault;
        EXPECT_EQ(fault, processSettingsRefusal(readProcessSettings(refused.texts)));
    }
}

TEST(PluginProcessSettings, UsersAndGroupsAreLookedUpByNameOrNumber) {
    tPluginProcessSettings settings;
    settings.isolation = tIsolation::process;
    tPluginIdentity identity;
    std::string why;
    ASSERT_TRUE(resolvePluginUser(settings, identity, why));
    EXPECT_FALSE(identity.changesUser);
    EXPECT_EQ(geteuid(), identity.uid);

    settings.user = "root";
    ASSERT_TRUE(resolvePluginUser(settings, identity, why)) << why;
    EXPECT_TRUE(identity.changesUser);
    EXPECT_EQ(0u, identity.uid);
    EXPECT_EQ(0u, identity.gid);
    EXPECT_EQ("root", identity.userName);

    // A number the database does not know runs in the group of that number.
    settings.user = "4000000";
    ASSERT_TRUE(resolvePluginUser(settings, identity, why)) << why;
    EXPECT_EQ(4000000u, identity.uid);
    EXPECT_EQ(4000000u, identity.gid);
    settings.group = "0";
    ASSERT_TRUE(resolvePluginUser(settings, identity, why)) << why;
    EXPECT_EQ(0u, identity.gid);

    settings.user = "no-such-user-here";
    EXPECT_FALSE(resolvePluginUser(settings, identity, why));
    EXPECT_EQ("unknown user \"no-such-user-here\"", why);
    EXPECT_EQ(why, processSettingsRefusal(settings));
    settings.user.clear();
    settings.group = "no-such-group-here";
    EXPECT_FALSE(resolvePluginUser(settings, identity, why));
    EXPECT_EQ("unknown group \"no-such-group-here\"", why);
}

}  // namespace
