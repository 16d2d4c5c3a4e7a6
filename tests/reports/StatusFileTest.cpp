// The status report's lines and the atomic replacement of the status file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <regex>

#include "reports/StatusFile.h"
#include "support/FileSizeLimit.h"
#include "support/ServiceProcess.h"
#include "zoerr/Status.h"

namespace {

const char kTitle[] = "ZO-Korvo Remote Configuration and Deployment status\n";

class StatusReport : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(StatusReport, HasItsLinesInOrderAndInitTimeOnlyWhenMeasured) {
    struct tCase {
        uint32_t mask;
        uint64_t initTimeMs;
        const char* expectedMiddle;
    };
    const std::vector<tCase> cases = {
        {0xFFFFFFFF, 0, "Allowed: 0xffffffff\n\n"},
        {0xFFFFFFFD, 153, "Allowed: 0xfffffffd\nInit Time 153 ms\n\n"},
        {0x2, 4294967296u + 9, "Allowed: 0x2\nInit Time 9 ms\n\n"},
        {0, 4294967296u, "Allowed: 0x0\nInit Time 0 ms\n\n"},
    };
    for (const tCase& test : cases) {
        EXPECT_EQ(std::string(kTitle) + "Updated: Thu Jan  1 00:00:10 1970\n" +
                      test.expectedMiddle + "Failed to open plugins directory.\nplugin text\n",
                  composeStatusReport(test.mask, test.initTimeMs,
                                      "Failed to open plugins directory.\n", "plugin text\n", 10));
    }
}

TEST_F(StatusReport, TimeThatCtimeCannotConvertEndsTheServiceLines) {
    EXPECT_EQ(std::string(kTitle) + "Updated: plugin text\n",
              composeStatusReport(0xFFFFFFFF, 5, "message\n", "plugin text\n", LLONG_MAX));
}

class AtomicWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = std::string(ZO_TEST_BINARY_DIR) + "/atomic." + std::to_string(getpid());
        zotest::removeTree(directory);
        zotest::makeDirectories(directory);
    }
    void TearDown() override { zotest::removeTree(directory); }

    std::string finalPath() const { return directory + "/status"; }
    std::string tempPath() const { return directory + "/.status.tmp"; }

    // The code and detail of the failed write of `text`.
    std::pair<int32_t, std::string> failedWrite(const std::string& into, std::string text) {
        try {
            writeFileAtomically(into, "status", text);
        } catch (const zoerr::Exception& exception) {
            return {exception.status.code, exception.what()};
        }
        return {0, ""};
    }

    std::string directory;
};

void expectDetail(const std::string& detail, const char* errorConstant) {
    const std::regex shape(std::string(R"(\{"error_constant":")") + errorConstant +
                           R"(","file":"source/StatusFile\.cpp","line":[0-9]+,)"
                           R"("component":"zoKorvoRemoteService"\})");
    EXPECT_TRUE(std::regex_match(detail, shape)) << detail;
}

TEST_F(AtomicWrite, ReplacesTheFileWithTheTextLessItsCarriageReturns) {
    zotest::writeFile(finalPath(), "previous text that is longer than the new one\n");
    // A temporary file left over from a failed write is replaced.
    zotest::writeFile(tempPath(), "leftover text that is longer than the new one, too\n");
    std::string text = "a\r\nb\rc\r\n\r";
    writeFileAtomically(directory, "status", text);
    EXPECT_EQ("a\nbc\n", zotest::readFile(finalPath()));
    EXPECT_EQ("a\nbc\n", text);
    EXPECT_FALSE(zotest::fileExists(tempPath()));
}

TEST_F(AtomicWrite, LinkAtTheTemporaryNameIsReplacedNotFollowed) {
    const std::string outside = directory + "/outside";
    for (const bool dangling : {false, true}) {
        if (dangling) {
            ASSERT_EQ(0, unlink(outside.c_str()));
        } else {
            zotest::writeFile(outside, "not the service's\n");
        }
        ASSERT_EQ(0, symlink(outside.c_str(), tempPath().c_str()));
        std::string text = "new text\n";
        writeFileAtomically(directory, "status", text);
        EXPECT_EQ("new text\n", zotest::readFile(finalPath())) << dangling;
        EXPECT_EQ(dangling ? "" : "not the service's\n",
                  zotest::fileExists(outside) ? zotest::readFile(outside) : "");
        EXPECT_FALSE(zotest::fileExists(tempPath()));
        struct stat info;
        ASSERT_EQ(0, lstat(finalPath().c_str(), &info));
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(0644u, info.st_mode & 07777);
    }
}

TEST_F(AtomicWrite, TemporaryNameThatCannotBeRemovedIsInsufficientPermissions) {
    zotest::writeFile(finalPath(), "previous\n");
    zotest::makeDirectories(tempPath());
    const auto [code, detail] = failedWrite(directory, "new text\n");
    EXPECT_EQ(-52026, code);
    expectDetail(detail, "zoqelerr_insufficientPermissions");
    EXPECT_EQ("previous\n", zotest::readFile(finalPath()));
}

TEST_F(AtomicWrite, MissingDirectoryIsInsufficientPermissions) {
    const auto [code, detail] = failedWrite(directory + "/missing", "text\n");
    EXPECT_EQ(-52026, code);
    expectDetail(detail, "zoqelerr_insufficientPermissions");
}

TEST_F(AtomicWrite, FailedRenameLeavesWhatStoodThereAndTheTemporaryFile) {
    zotest::makeDirectories(finalPath() + "/inside");
    const auto [code, detail] = failedWrite(directory, "new text\n");
    EXPECT_EQ(-52026, code);
    expectDetail(detail, "zoqelerr_insufficientPermissions");
    EXPECT_TRUE(zotest::fileExists(finalPath() + "/inside"));
    EXPECT_EQ("new text\n", zotest::readFile(tempPath()));
}

TEST_F(AtomicWrite, WriteThatCannotBeCompletedKeepsThePreviousFile) {
    zotest::writeFile(finalPath(), "previous\n");
    // The first write(2) of either text comes up short; the next one makes
    // no progress.
    for (const std::string& text : {std::string("new text\n"), std::string(1 << 20, 'x')}) {
        std::pair<int32_t, std::string> failure;
        {
            const zotest::tFileSizeLimit limit(4);
            failure = failedWrite(directory, text);
        }
        EXPECT_EQ(-52008, failure.first) << text.size();
        expectDetail(failure.second, "zoqelerr_osFault");
        EXPECT_EQ("previous\n", zotest::readFile(finalPath()));
    }
}

}  // namespace
