// The journal's records as the running service sends them, received on a
// socket of the test's own that stands for the journal's: one record per
// event, each with its fields, in the native protocol's binary-safe form.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/LibraryShelf.h"
#include "support/NotifySocket.h"
#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"
#include "support/TestPlugins.h"

namespace {

using namespace zotest::plugins;
using tFields = std::map<std::string, std::string>;

// One datagram of the native protocol: "NAME=value\n", or "NAME\n", the
// value's length as 64-bit little-endian, the value and "\n". Empty when the
// datagram breaks the protocol.
tFields parseRecord(const std::string& datagram) {
    tFields fields;
    size_t at = 0;
    while (at < datagram.size()) {
        const size_t lineEnd = datagram.find('\n', at);
        if (lineEnd == std::string::npos) {
            return {};
        }
        const size_t equals = datagram.find('=', at);
        if (equals != std::string::npos && equals < lineEnd) {
            fields[datagram.substr(at, equals - at)] =
                datagram.substr(equals + 1, lineEnd - equals - 1);
            at = lineEnd + 1;
            continue;
        }
        const std::string name = datagram.substr(at, lineEnd - at);
        if (lineEnd + 9 > datagram.size()) {
            return {};
        }
        uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length = (length << 8) | static_cast<unsigned char>(datagram[lineEnd + 1 + i]);
        }
        const size_t value = lineEnd + 9;
        if (value + length + 1 > datagram.size() || datagram[value + length] != '\n') {
            return {};
        }
        fields[name] = datagram.substr(value, length);
        at = value + length + 1;
    }
    return fields;
}

struct tJournalRun {
    std::vector<tFields> records;
    std::string transcript;

    // The records with this MESSAGE_ID.
    std::vector<tFields> withId(const char* id) const {
        std::vector<tFields> found;
        for (const tFields& record : records) {
            if (record.count("MESSAGE_ID") != 0 && record.at("MESSAGE_ID") == id) {
                found.push_back(record);
            }
        }
        return found;
    }
    const tFields* forPlugin(const char* id, const std::string& plugin) const {
        for (const tFields& record : records) {
            if (record.count("MESSAGE_ID") != 0 && record.at("MESSAGE_ID") == id &&
                record.count("PLUGIN") != 0 && record.at("PLUGIN") == plugin) {
                return &record;
            }
        }
        return nullptr;
    }
};

constexpr char kStartedId[] = "5bd94d6f18d446859e6dbdb69a5471eb";
constexpr char kDeploymentId[] = "a69a49649e6243d8a658c4e2c4671633";
constexpr char kRejectedId[] = "00504c009fda4b238f2eebe12953ca9c";
constexpr char kNotStartedId[] = "2db652166d1d4105ba179c72de5e6f83";
constexpr char kExceptionId[] = "d5477fe89b294e2bbf1db7e09d52251d";
constexpr char kSummaryId[] = "61d94eacb3b34f8684bd3cffb165bf53";
constexpr char kStoppingId[] = "3a79eee9beec4aada33bf20cbcd8f28b";
constexpr char kStepFailedId[] = "75d88a0b704d439a8777cb5643306911";
constexpr char kEndedId[] = "1c01f663869d494392d0bde96a5dd460";
constexpr char kReloadId[] = "cb7cd36ca4724315a8eddf221626f559";
constexpr char kReloadFailedId[] = "41baa7adafee4ee88a3ca52ae15c662e";
constexpr char kMetricsId[] = "6b48792b2abb4d1097f80c5212c00a7b";
constexpr char kOverwrittenId[] = "1688cba20c9345e7a3d28298a5c516f2";

void addJournalPlugins(const zotest::TestRoot& root) {
    root.addDescription("alpha.ini",
                        "[Service]\nName=Alpha\nPath=" + kAlphaPlugin + "\nInitialize=AlphaInit\n");
    root.addDescription("deployer.ini",
                        "[Service]\nName=Deployer\nRequires=2\nPath=" + kGammaPlugin + "\n");
    root.addDescription("failing.ini", "[Service]\nName=Failing\nPath=" + kFailingPlugin +
                                           "\nInitialize=FailingInit\n");
    root.addDescription(
        "x\ny.ini", "[Service]\nName=Lf\nPath=" + kFailingPlugin + "\nInitialize=FailingInit\n");
    // ThrowingInit throws an int, ThrowingStandardStop a standard exception.
    root.addDescription("thrower.ini",
                        "[Service]\nName=Thrower\nPath=" + std::string(ZO_TEST_PLUGIN_throwing) +
                            "\nInitialize=ThrowingInit\n");
    root.addDescription("stopthrower.ini", "[Service]\nName=StopThrower\nPath=" +
                                               std::string(ZO_TEST_PLUGIN_throwing) +
                                               "\nStop=ThrowingStandardStop\n");
    root.addDescription("unsafe.ini", "[Service]\nName=Unsafe\nPath=" + kAlphaPlugin + "\n");
    chmod((root.pluginsDirectory() + "/unsafe.ini").c_str(), 0666);
}

// Runs the service until its start is written, then `whileRunning`, then
// stops it, while a thread receives: the socket's queue
// (net.unix.max_dgram_qlen, 10 without systemd's setting) holds the start's
// records until it does.
tJournalRun runUnderJournal(const zotest::TestRoot& root, const std::vector<std::string>& extra,
                            const std::function<void(zotest::ServiceProcess&)>& whileRunning = {},
                            const std::vector<std::string>& arguments = {}) {
    zotest::tNotifySocket journal(zotest::TestRoot::journalSocket());
    std::atomic<bool> serviceEnded{false};
    std::thread receiver([&journal, &serviceEnded] {
        const auto isEnd = [](const std::string& datagram) {
            return datagram.find(kEndedId) != std::string::npos;
        };
        // Until the end's record, or a last short wait after the process ended.
        while (!journal.waitFor(isEnd, std::chrono::milliseconds(200)) && !serviceEnded) {
        }
    });
    std::vector<std::string> environment = {"ZOSYSAPI_DEPLOYMENT=0"};
    environment.insert(environment.end(), extra.begin(), extra.end());
    {
        zotest::ServiceProcess service(arguments, environment);
        if (zotest::waitForStatusContaining(root, "Failing (depends on )")) {
            if (whileRunning) {
                whileRunning(service);
            }
            service.sendSignal(SIGTERM);
            service.wait();
        }
    }
    serviceEnded = true;
    receiver.join();
    tJournalRun run;
    for (const zotest::tNotification& datagram : journal.received()) {
        run.records.push_back(parseRecord(datagram.text));
        run.transcript += datagram.text + "\n----\n";
    }
    return run;
}

TEST(JournalRun, EachEventArrivesAsOneRecordWithItsFields) {
    zotest::TestRoot root;
    addJournalPlugins(root);
    const tJournalRun run = runUnderJournal(root, {"JOURNAL_STREAM="});
    for (const tFields& record : run.records) {
        ASSERT_FALSE(record.empty()) << run.transcript;
        EXPECT_EQ("zoKorvoRemoteService", record.at("SYSLOG_IDENTIFIER"));
        EXPECT_EQ(1u, record.count("PRIORITY"));
        EXPECT_EQ(1u, record.count("MESSAGE"));
    }
    ASSERT_EQ(1u, run.withId(kStartedId).size()) << run.transcript;
    EXPECT_NE(std::string::npos,
              run.withId(kStartedId)[0].at("MESSAGE").find(root.pluginsDirectory()));
    ASSERT_EQ(1u, run.withId(kDeploymentId).size()) << run.transcript;
    EXPECT_EQ("Remote deployment not allowed after 1 attempt; capability mask 0xfffffffd",
              run.withId(kDeploymentId)[0].at("MESSAGE"));

    const std::vector<tFields> rejections = run.withId(kRejectedId);
    ASSERT_EQ(1u, rejections.size()) << run.transcript;
    const tFields& rejected = rejections[0];
    EXPECT_EQ(root.pluginsDirectory() + "/unsafe.ini", rejected.at("PLUGIN_FILE"));
    EXPECT_NE(std::string::npos, rejected.at("MESSAGE").find("is writable by"))
        << rejected.at("MESSAGE");

    const tFields* deployer = run.forPlugin(kNotStartedId, "Deployer");
    ASSERT_NE(nullptr, deployer) << run.transcript;
    EXPECT_EQ("-52002", deployer->at("CODE"));
    EXPECT_EQ("zoqelerr_featureUnsupported", deployer->at("CODE_NAME"));
    EXPECT_EQ("5", deployer->at("PRIORITY"));
    EXPECT_EQ("Initialize", deployer->at("STEP"));
    const tFields* failing = run.forPlugin(kNotStartedId, "Failing");
    ASSERT_NE(nullptr, failing) << run.transcript;
    EXPECT_EQ("-7", failing->at("CODE"));
    EXPECT_EQ(0u, failing->count("CODE_NAME"));
    EXPECT_EQ("3", failing->at("PRIORITY"));
    EXPECT_EQ(root.pluginsDirectory() + "/failing.ini", failing->at("PLUGIN_FILE"));
    // The file name's line feed comes through the binary form whole.
    const tFields* lineFeed = run.forPlugin(kNotStartedId, "Lf");
    ASSERT_NE(nullptr, lineFeed) << run.transcript;
    EXPECT_EQ(root.pluginsDirectory() + "/x\ny.ini", lineFeed->at("PLUGIN_FILE"));
    const tFields* throwing = run.forPlugin(kNotStartedId, "Thrower");
    ASSERT_NE(nullptr, throwing) << run.transcript;
    EXPECT_EQ("-52003", throwing->at("CODE"));
    ASSERT_NE(nullptr, run.forPlugin(kExceptionId, "Thrower")) << run.transcript;
    const tFields* stopThrower = run.forPlugin(kExceptionId, "StopThrower");
    ASSERT_NE(nullptr, stopThrower) << run.transcript;
    EXPECT_EQ("Stop", stopThrower->at("STEP"));
    ASSERT_NE(nullptr, run.forPlugin(kStepFailedId, "StopThrower")) << run.transcript;
    EXPECT_EQ(nullptr, run.forPlugin(kNotStartedId, "Alpha"));

    ASSERT_EQ(1u, run.withId(kSummaryId).size()) << run.transcript;
    EXPECT_EQ("Plugins: 2 started, 1 refused, 3 failed", run.withId(kSummaryId)[0].at("MESSAGE"));
    EXPECT_EQ(1u, run.withId(kStoppingId).size()) << run.transcript;
    ASSERT_EQ(1u, run.withId(kEndedId).size()) << run.transcript;
    EXPECT_EQ("0", run.withId(kEndedId)[0].at("DROPPED_RECORDS"));
}

TEST(JournalRun, NothingIsSentWhenStandardErrorIsNotTheJournal) {
    zotest::TestRoot root;
    addJournalPlugins(root);
    EXPECT_TRUE(runUnderJournal(root, {}).records.empty());
    EXPECT_TRUE(runUnderJournal(root, {"JOURNAL_STREAM=1:1"}).records.empty());
}

TEST(JournalRun, RecordsThatCannotBeSentAreDroppedAndCounted) {
    zotest::TestRoot root;
    addJournalPlugins(root);
    // No socket where the journal's should be: every send fails at once.
    zotest::ServiceProcess service({}, {"ZOSYSAPI_DEPLOYMENT=0", "JOURNAL_STREAM="});
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "Failing (depends on )"));
    service.sendSignal(SIGTERM);
    ASSERT_TRUE(service.wait().signaled);
    const std::string status =
        zotest::readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json");
    // Every record but the end's, which comes after the last write.
    EXPECT_NE(std::string::npos, status.find("\"journalRecordsDropped\":12,")) << status;
}

TEST(JournalRun, AReloadHasOneRecordWithItsCountsAndOneForEachPluginItCouldNotStart) {
    zotest::TestRoot root;
    addJournalPlugins(root);
    const tJournalRun run = runUnderJournal(root, {"JOURNAL_STREAM="}, [&root](auto& service) {
        root.addDescription("late.ini", "[Service]\nName=Late\nPath=" + kFailingPlugin +
                                            "\nInitialize=FailingInit\n");
        service.sendSignal(SIGHUP);
        EXPECT_TRUE(zotest::waitForStatusContaining(root, "Late (depends on )"));
    });
    const std::vector<tFields> reloads = run.withId(kReloadId);
    ASSERT_EQ(1u, reloads.size()) << run.transcript;
    // Alpha and StopThrower kept; Late is new; the others tried again.
    EXPECT_EQ("Reload: 2 kept, 0 stopped, 0 started, 1 refused, 4 failed",
              reloads[0].at("MESSAGE"));
    EXPECT_EQ("4", reloads[0].at("PRIORITY"));
    EXPECT_EQ("2", reloads[0].at("KEPT"));
    EXPECT_EQ("0", reloads[0].at("STOPPED"));
    EXPECT_EQ("0", reloads[0].at("STARTED"));
    EXPECT_EQ("1", reloads[0].at("REFUSED"));
    EXPECT_EQ("4", reloads[0].at("FAILED"));
    const tFields* late = run.forPlugin(kNotStartedId, "Late");
    ASSERT_NE(nullptr, late) << run.transcript;
    EXPECT_EQ("-7", late->at("CODE"));
    EXPECT_EQ(2u, std::count_if(run.records.begin(), run.records.end(),
                                [](const tFields& record) {
                                    return record.count("PLUGIN") != 0 &&
                                           record.at("PLUGIN") == "Failing" &&
                                           record.at("MESSAGE_ID") == kNotStartedId;
                                }))
        << run.transcript;
}

TEST(JournalRun, AReloadThatCannotBeDoneAndAMetricsFileThatCannotBeWrittenAreErrorsWithTheirReason) {
    zotest::TestRoot root;
    addJournalPlugins(root);
    root.addDescription("broken.ini", "[Service]\nName=Broken\n\nPath=" + kAlphaPlugin + "\n");
    const std::string copied = zotest::tLibraryShelf(root).place(kGammaPlugin, "copied");
    root.addDescription("copied.ini", "[Service]\nName=Copied\nPath=" + copied + "\n");
    const std::string metricsDirectory = root.root() + "/textfile";
    zotest::makeDirectories(metricsDirectory);
    chmod(metricsDirectory.c_str(), 0755);
    const std::string metricsFile = metricsDirectory + "/zokorvo.prom";
    const std::string aside = root.shareDirectory() + "/aside";
    const tJournalRun run = runUnderJournal(
        root, {"JOURNAL_STREAM="}, [&](zotest::ServiceProcess& service) {
            zotest::removeTree(metricsDirectory);
            ASSERT_EQ(0, rename(root.pluginsDirectory().c_str(), aside.c_str()));
            service.sendSignal(SIGHUP);
            EXPECT_TRUE(zotest::waitFor([&] {
                return zotest::readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json")
                           .find("\"successful\":false") != std::string::npos;
            }));
            ASSERT_EQ(0, rename(aside.c_str(), root.pluginsDirectory().c_str()));
            // Same inode, new modification time, as cp over it leaves it.
            const timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
            ASSERT_EQ(0, utimensat(AT_FDCWD, copied.c_str(), times, 0));
            service.sendSignal(SIGHUP);
            EXPECT_TRUE(zotest::waitForStatusContaining(root, "written over in place"));
        }, {"--metrics-file", metricsFile});
    const std::vector<tFields> failed = run.withId(kReloadFailedId);
    ASSERT_EQ(1u, failed.size()) << run.transcript;
    EXPECT_EQ("3", failed[0].at("PRIORITY"));
    EXPECT_EQ("Failed to open plugins directory.", failed[0].at("REASON"));
    EXPECT_EQ(0u, failed[0].at("MESSAGE").find("Reload failed: Failed to open plugins directory.;"));
    // Only the reload after the directory came back has a summary.
    EXPECT_EQ(1u, run.withId(kReloadId).size()) << run.transcript;
    const std::vector<tFields> metrics = run.withId(kMetricsId);
    ASSERT_EQ(1u, metrics.size()) << run.transcript;
    EXPECT_EQ("4", metrics[0].at("PRIORITY"));
    EXPECT_EQ(metricsFile, metrics[0].at("METRICS_FILE"));
    const tFields* overwritten = run.forPlugin(kOverwrittenId, "Copied");
    ASSERT_NE(nullptr, overwritten) << run.transcript;
    EXPECT_EQ(copied, overwritten->at("LIBRARY"));
    EXPECT_EQ(root.pluginsDirectory() + "/copied.ini", overwritten->at("PLUGIN_FILE"));
    // The broken file's line and reason in the checker's words, at the start.
    const std::string broken = root.pluginsDirectory() + "/broken.ini";
    bool found = false;
    for (const tFields& record : run.withId(kRejectedId)) {
        if (record.at("PLUGIN_FILE") == broken) {
            found = true;
            EXPECT_EQ("3", record.at("PLUGIN_FILE_LINE"));
            EXPECT_EQ("line 3: empty or white-space-only line: a description file may hold no "
                      "blank line",
                      record.at("REASON"));
        }
    }
    EXPECT_TRUE(found) << run.transcript;
}

}  // namespace

