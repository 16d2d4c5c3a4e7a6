// One report rendered into a buffer that is kept from one write to the next
// reads exactly as one rendered afresh, and the status files hold it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/LifecycleSupport.h"
#include "plugins/PluginStatusText.h"
#include "reports/StatusFile.h"
#include "reports/Metrics.h"
#include "reports/ReportFiles.h"
#include "reports/StatusJson.h"
#include "support/ServiceProcess.h"
#include "zoerr/Status.h"

namespace {

// Two plugins, one name of them with bytes each format escapes, one
// message, after the stop pass.
class ReportRendering : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"Alpha", "Be\tta\x1b\xff\"\xc3\xa9"}) {
            tPluginRecord record;
            record.description =
                zotest::describePlugin(name, "/opt/plugins/lib.so", "Init", "", "", {"Core"});
            record.description.file = std::string("/etc/plugins/") + name + ".ini";
            record.initializeCode = -52002;
            record.initializeTimeMs = 3;
            record.stopCode = 7;
            records.push_back(std::move(record));
        }
        messages.push_back(tReportMessage{tMessageKind::descriptionParse, "/etc/plugins/x.ini",
                                          "Failed to parse /etc/plugins/x\n.ini"});
        report.phase = tServicePhase::stopping;
        report.now = timespec{1796710446, 456000000};
        report.initTimeMs = 12;
        report.stopPassRan = true;
        report.messages = &messages;
        report.records = &records;
    }

    std::vector<tPluginRecord> records;
    std::vector<tReportMessage> messages;
    tServiceReport report;
};

TEST_F(ReportRendering, AppendedToAKeptBufferReadsAsRenderedAfresh) {
    const std::string text =
        composeStatusReport(report.capabilityMask, report.initTimeMs, messageLines(messages),
                            renderPluginStatus(records), report.now.tv_sec);
    const std::string json = renderStatusJson(report);
    const std::string metrics = renderMetrics(report);
    // A buffer that held a longer text before, and one that holds something.
    std::string buffer(100000, 'x');
    buffer.clear();
    appendStatusText(buffer, report);
    EXPECT_EQ(text, buffer);
    buffer.clear();
    appendStatusJson(buffer, report);
    EXPECT_EQ(json, buffer);
    buffer = "kept:";
    appendMetrics(buffer, report);
    EXPECT_EQ("kept:" + metrics, buffer);
}

TEST_F(ReportRendering, StatusFilesHoldTheTextAndItsJsonTwin) {
    const std::string directory =
        std::string(ZO_TEST_BINARY_DIR) + "/report-files." + std::to_string(getpid());
    zotest::removeTree(directory);
    zotest::makeDirectories(directory);
    std::string buffer;
    writeStatusFiles(directory, report, buffer);
    std::string text;
    appendStatusText(text, report);
    EXPECT_EQ(text, zotest::readFile(directory + "/" + kStatusFileName));
    EXPECT_EQ(renderStatusJson(report), zotest::readFile(directory + "/" + kStatusJsonFileName));
    writeMetricsFile(directory, "metrics.prom", report, buffer);
    EXPECT_EQ(renderMetrics(report), zotest::readFile(directory + "/metrics.prom"));
    zotest::removeTree(directory);
    try {
        writeStatusFiles(directory, report, buffer);
        ADD_FAILURE() << "written into a missing directory";
    } catch (const zoerr::Exception& exception) {
        EXPECT_EQ(-52026, exception.status.code);
    }
}

}  // namespace
