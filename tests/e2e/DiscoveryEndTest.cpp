// A run whose plugins directory cannot be listed ends by itself: the
// process exits 0 without waiting for a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"

namespace {

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(PluginsDirectory, UnlistableDirectoryEndsTheRunWithoutASignal) {
    struct Case {
        const char* what;
        std::function<void(const zotest::TestRoot&)> arrange;
    };
    const std::vector<Case> cases = {
        {"missing",
         [](const zotest::TestRoot& root) { zotest::removeTree(root.pluginsDirectory()); }},
        {"a regular file",
         [](const zotest::TestRoot& root) {
             zotest::removeTree(root.pluginsDirectory());
             zotest::writeFile(root.pluginsDirectory(), "");
         }},
        {"a link loop",
         [](const zotest::TestRoot& root) {
             zotest::removeTree(root.pluginsDirectory());
             symlink(root.pluginsDirectory().c_str(), root.pluginsDirectory().c_str());
         }},
        {"under a missing shared-data directory",
         [](const zotest::TestRoot& root) {
             zotest::writeFile(root.pointerFile(), root.root() + "/no-such-share\n");
         }},
    };
    for (const Case& c : cases) {
        zotest::TestRoot root;
        c.arrange(root);
        zotest::ServiceProcess service;
        const zotest::ProcessEnd end = service.wait();
        ASSERT_FALSE(end.timedOut) << c.what;
        EXPECT_TRUE(end.exited) << c.what;
        EXPECT_EQ(0, end.exitCode) << c.what;
        EXPECT_EQ("", service.standardOutput()) << c.what;
        EXPECT_EQ("", service.standardError()) << c.what;
        EXPECT_EQ(1, occurrences(root.statusText(), "Failed to open plugins directory.\n"))
            << c.what << ":\n"
            << root.statusText();
        // Nobody else could change it: it merely cannot be opened.
        EXPECT_EQ(0, occurrences(root.statusText(), "Unsafe")) << c.what;
    }
}

// Description files that fail are reported one line each and do not end
// the run: it goes on to wait for the stop request.
TEST(PluginsDirectory, BadDescriptionFilesAreReportedAndTheRunGoesOn) {
    zotest::TestRoot root;
    root.addDescription("bad1.ini", "[Service]\n\nName=bad1\n");
    root.addDescription("bad2.ini", "# note\n");
    root.addDescription("good.ini", "[Service]\nName=good\n");
    zotest::ServiceProcess service;
    // Once the start pass is written, the run waits for the stop request.
    ASSERT_TRUE(zotest::waitForStatusContaining(root, "good (depends on )\n")) << root.statusText();
    const zotest::ProcessEnd early = service.wait(std::chrono::milliseconds(500));
    EXPECT_TRUE(early.timedOut) << "exit code " << early.exitCode;
    service.sendSignal(SIGTERM);
    const zotest::ProcessEnd end = service.wait();
    ASSERT_FALSE(end.timedOut);
    EXPECT_TRUE(end.signaled);
    const std::string status = root.statusText();
    for (const char* name : {"bad1.ini", "bad2.ini"}) {
        EXPECT_EQ(1, occurrences(status, "Failed to parse service description file: " +
                                             root.pluginsDirectory() + "/" + name + "\n"))
            << status;
    }
    EXPECT_EQ(0, occurrences(status, "description file: " + root.pluginsDirectory() + "/good.ini"))
        << status;
    EXPECT_EQ(0, occurrences(status, "Failed to open plugins directory.")) << status;
}

}  // namespace
