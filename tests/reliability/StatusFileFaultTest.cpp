// The status file when writing it fails, with the real executable: the
// service keeps running (it starts its plugins and ends by the signal), what
// stood at the status file's name stays as it was while the fault lasts, and
// once the fault is gone the next write leaves a complete status file.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

#include "reliability/ReliabilitySupport.h"
#include "support/DescriptionFile.h"
#include "support/FileSizeLimit.h"
#include "support/PluginCallLog.h"
#include "support/ServiceProcess.h"

namespace {

using tCalls = std::vector<std::string>;

const char kPrevious[] = "the previous complete status\n";
// Smaller than any status report: every write of the service comes up short.
constexpr rlim_t kFileSizeLimit = 64;

struct tFault {
    const char* what;
    std::function<void(const zotest::TestRoot&)> arrange;  // before the start
    std::function<void(const zotest::TestRoot&)> repair;   // while the service waits
    bool limitsFileSize = false;
    bool keepsPrevious = false;  // a previous status file can stand there
};

// Lifts the file size limit of the running service.
void liftFileSizeLimit(pid_t pid) {
    rlimit unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    unlimited.rlim_cur = unlimited.rlim_max;
    ASSERT_EQ(0, prlimit(pid, RLIMIT_FSIZE, &unlimited, nullptr));
}

void replaceWithDirectory(const std::string& path) {
    zotest::removeTree(path);
    zotest::makeDirectories(path);
}

std::vector<tFault> faults() {
    return {
        {"status directory missing",
         [](const zotest::TestRoot& root) { zotest::removeTree(root.statusDirectory()); },
         [](const zotest::TestRoot& root) { zotest::makeDirectories(root.statusDirectory()); }},
        {"status directory path through a regular file",
         [](const zotest::TestRoot& root) {
             zotest::removeTree(root.statusDirectory());
             zotest::writeFile(root.statusDirectory(), "not a directory\n");
         },
         [](const zotest::TestRoot& root) { replaceWithDirectory(root.statusDirectory()); }},
        {"final name taken by a directory, so the rename fails",
         [](const zotest::TestRoot& root) {
             zotest::makeDirectories(root.statusFile() + "/inside");
         },
         [](const zotest::TestRoot& root) { zotest::removeTree(root.statusFile()); }},
        {"file size limit, so every write comes up short",
         [](const zotest::TestRoot& root) { zotest::writeFile(root.statusFile(), kPrevious); },
         [](const zotest::TestRoot&) {}, true, true},
    };
}

TEST(StatusFileFault, ServiceRunsOnAndTheNextPossibleWriteIsComplete) {
    const bool wrapped = getenv("ZO_TEST_SERVICE_WRAPPER") != nullptr;
    for (const tFault& fault : faults()) {
        if (fault.limitsFileSize && wrapped) {
            continue;  // the wrapper's own log would be cut short as well
        }
        SCOPED_TRACE(fault.what);
        zotest::TestRoot root;
        const zotest::tDescriptionFile alpha{"alpha", ZO_TEST_PLUGIN_alpha, "AlphaInit",
                                             "AlphaStop", "AlphaCleanup"};
        zotest::addDescriptions(root, {alpha});
        fault.arrange(root);
        zotest::tPluginCallLog log;
        std::unique_ptr<zotest::ServiceProcess> service;
        {
            const zotest::tFileSizeLimit limit(kFileSizeLimit, fault.limitsFileSize);
            service = std::make_unique<zotest::ServiceProcess>(
                std::vector<std::string>{}, std::vector<std::string>{log.environmentEntry()});
        }
        ASSERT_TRUE(zotest::waitFor([&] { return !log.calls().empty(); })) << "no plugin started";
        // The write after the start pass follows the Initialize at once.
        EXPECT_TRUE(service->wait(std::chrono::milliseconds(300)).timedOut) << "ended early";
        if (fault.keepsPrevious) {
            EXPECT_EQ(kPrevious, root.statusText());
        }
        EXPECT_EQ((tCalls{"alpha Initialize"}), log.calls());

        fault.repair(root);
        if (fault.limitsFileSize) {
            liftFileSizeLimit(service->pid());
        }
        service->sendSignal(SIGTERM);
        const zotest::ProcessEnd end = service->wait();
        ASSERT_FALSE(end.timedOut);
        EXPECT_TRUE(end.signaled && end.signal == SIGTERM) << "exit code " << end.exitCode;
        EXPECT_EQ("", service->standardError());
        EXPECT_EQ((tCalls{"alpha Initialize", "alpha Stop", "alpha Cleanup"}), log.calls());
        EXPECT_EQ(
            "ZO-Korvo Remote Configuration and Deployment status\n"
            "Updated: <time>\n"
            "Allowed: 0xffffffff\n"
            "\n"
            "alpha (depends on )\n"
            "Loaded From: " ZO_TEST_PLUGIN_alpha
            "\n"
            "Requires: 1\n"
            "\n",
            zotest::withoutMeasurements(root.statusText()));
        EXPECT_FALSE(zotest::fileExists(root.temporaryStatusFile()));
    }
}

}  // namespace
