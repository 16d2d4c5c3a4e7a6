// zosysq::readWholeFile: the bytes plus a NUL, and the failures that it
// reports in the status, including paths that are not regular files.
#include <gtest/gtest.h>

#include <string>

#include "support/DescriptionsTestSupport.h"
#include "ini/IniTestSupport.h"
#include "zosysq/stdpath.h"

namespace {

using zotest::contents;
using zotest::detailWithoutLine;

std::string openFailureDetail(int errnoValue, const std::string& errnoText,
                              const std::string& path) {
    return "{\"error_constant\":\"qelStatusResourceNotFound\",\"file\":\"source/zosysq/"
           "stdpath.cpp\",\"line\":0,\"component\":\"zoKorvoRemoteService\",\"internal_error\":{"
           "\"api\":\"errno\",\"code\":" +
           std::to_string(errnoValue) + ",\"string\":\"" + errnoText +
           "\"},\"zosysq_debug\":{\"desc\":\"error opening file\",\"filename\":\"" + path + "\"}}";
}

TEST(ReadWholeFile, GivesTheBytesFollowedByOneNul) {
    IniScratchDirectory scratch;
    const std::string cases[] = {"", "x", std::string("a\0b\n", 4), std::string(70000, 'y')};
    for (const std::string& text : cases) {
        zoerr::Status status;
        zohtl::ByteVector bytes;
        zosysq::readWholeFile(scratch.write("file", text).c_str(), bytes, status);
        EXPECT_EQ(0, status.code);
        EXPECT_EQ(text + std::string(1, '\0'), contents(bytes)) << text.size() << " bytes";
    }
}

TEST(ReadWholeFile, ShrinksALargerBufferWithoutReallocating) {
    IniScratchDirectory scratch;
    zoerr::Status status;
    zohtl::ByteVector bytes;
    bytes.insert(0, 100, '#', status);
    const char* storage = bytes.data;
    zosysq::readWholeFile(scratch.write("file", "xy").c_str(), bytes, status);
    EXPECT_EQ(0, status.code);
    EXPECT_EQ(std::string("xy\0", 3), contents(bytes));
    EXPECT_EQ(storage, bytes.data);
    EXPECT_EQ(100u, bytes.capacity);
}

TEST(ReadWholeFile, MissingFileReportsResourceNotFoundWithItsName) {
    IniScratchDirectory scratch;
    const std::string path = scratch.pathOf("missing");
    zoerr::Status status;
    zohtl::ByteVector bytes;
    zosysq::readWholeFile(path.c_str(), bytes, status);
    EXPECT_EQ(-52006, status.code);
    EXPECT_EQ(openFailureDetail(ENOENT, "No such file or directory", path),
              detailWithoutLine(status));
    EXPECT_EQ(0u, bytes.size);
}

TEST(ReadWholeFile, OpenFailureReplacesAWarningButNotAnError) {
    IniScratchDirectory scratch;
    const std::string path = scratch.pathOf("missing");
    struct Case {
        int32_t held;
        int32_t expected;
    };
    for (const Case& c : {Case{4, -52006}, Case{-9, -9}}) {
        zoerr::Status status;
        status.setCode(c.held);
        zohtl::ByteVector bytes;
        zosysq::readWholeFile(path.c_str(), bytes, status);
        EXPECT_EQ(c.expected, status.code);
    }
}

TEST(ReadWholeFile, AnErrorAlreadyHeldLeavesTheBufferUntouched) {
    IniScratchDirectory scratch;
    zoerr::Status status;
    status.setCode(-9);
    zohtl::ByteVector bytes;
    zosysq::readWholeFile(scratch.write("file", "text").c_str(), bytes, status);
    EXPECT_EQ(-9, status.code);
    EXPECT_EQ(0u, bytes.size);
}

// A directory would yield a bogus length, a device could be read without
// end and a FIFO would block the open: none of them is opened at all.
TEST(ReadWholeFile, WhatIsNotARegularFileCannotBeOpened) {
    IniScratchDirectory scratch;
    mkdir(scratch.pathOf("directory").c_str(), 0700);
    symlink("/dev/zero", scratch.pathOf("device").c_str());
    symlink(scratch.pathOf("directory").c_str(), scratch.pathOf("link-to-directory").c_str());
    zotest::makeFifo(scratch.pathOf("fifo"));
    struct Case {
        const char* name;
        int errnoValue;
        const char* errnoText;
    };
    const Case cases[] = {
        {"directory", EISDIR, "Is a directory"},
        {"link-to-directory", EISDIR, "Is a directory"},
        {"device", EINVAL, "Invalid argument"},
        {"fifo", EINVAL, "Invalid argument"},
    };
    for (const Case& c : cases) {
        const std::string path = scratch.pathOf(c.name);
        zoerr::Status status;
        zohtl::ByteVector bytes;
        ASSERT_TRUE(zotest::finishesPromptly(scratch.pathOf("fifo"), [&] {
            zosysq::readWholeFile(path.c_str(), bytes, status);
        })) << c.name;
        EXPECT_EQ(-52006, status.code) << c.name;
        EXPECT_EQ(openFailureDetail(c.errnoValue, c.errnoText, path), detailWithoutLine(status));
        EXPECT_EQ(0u, bytes.size) << c.name;
    }
}

}  // namespace
