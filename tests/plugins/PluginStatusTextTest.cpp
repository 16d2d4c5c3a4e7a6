// The per-plugin status text, rendered from records built by hand.
#include <gtest/gtest.h>

#include "support/LifecycleSupport.h"
#include "plugins/PluginStatusText.h"
#include "reports/ServiceReport.h"
#include "plugins/tPluginManager.h"

namespace {

using zotest::describePlugin;

tPluginRecord recordOf(tPluginDescription description, int32_t initializeCode,
                       uint64_t initializeTimeMs) {
    tPluginRecord record;
    record.description = std::move(description);
    record.initializeCode = initializeCode;
    record.initializeTimeMs = initializeTimeMs;
    return record;
}

TEST(PluginStatusText, RendersOneBlockPerPluginWithTheStepsThatHaveSomethingToReport) {
    std::vector<tPluginRecord> records = {
        recordOf(describePlugin("Alpha", "/opt/plugins/libalpha.so", "AlphaInit", "AlphaStop"), 0,
                 12),
        recordOf(
            describePlugin("Beta", "/opt/plugins/libbeta.so", "", "", "", {"Alpha", "Core"}, 2),
            -52002, 0),
    };
    const std::string alphaStart =
        "Alpha (depends on )\n"
        "Loaded From: /opt/plugins/libalpha.so\n"
        "Requires: 1\n"
        "AlphaInit Time: 12 ms\n"
        "AlphaInit Code: 0\n";
    const std::string betaBlock =
        "Beta (depends on Alpha, Core)\n"
        "Loaded From: /opt/plugins/libbeta.so\n"
        "Requires: 2\n"
        "Init Time: 0 ms\n"
        "Init Code: -52002\n"
        "\n";
    EXPECT_EQ(alphaStart + "\n" + betaBlock, renderPluginStatus(records));

    records[0].stopTimeMs = 2;
    EXPECT_EQ(alphaStart + "AlphaStop Time: 2 ms\nAlphaStop Code: 0\n\n" + betaBlock,
              renderPluginStatus(records));
}

TEST(PluginStatusText, StepLabelsTimesAndCodes) {
    tPluginRecord record =
        recordOf(describePlugin("p", "lib.so", "", "", "", {"x"}, 0xFFFFFFFF), 0, 0);
    record.stopCode = -52005;
    record.cleanupTimeMs = 4294967296u + 7;  // only the low 32 bits are printed
    record.cleanupCode = 5;
    EXPECT_EQ(
        "p (depends on x)\n"
        "Loaded From: lib.so\n"
        "Requires: 4294967295\n"
        "Stop Time: 0 ms\n"
        "Stop Code: -52005\n"
        "Cleanup Time: 7 ms\n"
        "Cleanup Code: 5\n"
        "\n",
        renderPluginStatus({record}));
    EXPECT_EQ("", renderPluginStatus({}));
}

TEST(StartSummary, CountsStartedRefusedAndFailedPlugins) {
    const struct {
        std::vector<int32_t> codes;
        const char* summary;
    } cases[] = {
        {{}, "Plugins: 0 started, 0 refused, 0 failed"},
        // A warning still started; -52026 is a library it was not safe to load.
        {{0, 3, -52002, -52006, -52026, -52005, -7, -52003, -52000},
         "Plugins: 2 started, 3 refused, 4 failed"},
    };
    for (const auto& test : cases) {
        std::vector<tPluginRecord> records;
        for (const int32_t code : test.codes) {
            records.push_back(recordOf(describePlugin("p", "/p.so"), code, 0));
        }
        EXPECT_EQ(test.summary, startSummaryText(records));
    }
}

}  // namespace
