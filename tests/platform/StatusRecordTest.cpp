#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "zoerr/Status.h"
#include "zoqel/StatusRecord.h"

namespace {

TEST(StatusRecord, StoresTheFirstErrorWithItsOrigin) {
    zoqel::StatusRecord record;
    EXPECT_EQ(216u, record.size);
    EXPECT_FALSE(record.setCode(0, "c", "f", 1));
    EXPECT_TRUE(record.setCode(3, "warn", "w.cpp", 2));
    EXPECT_TRUE(record.setCode(-52005, "zoKorvoRemoteService", "lib.cpp", 158));
    EXPECT_FALSE(record.setCode(-52003, "other", "other.cpp", 9));
    EXPECT_EQ(-52005, record.code);
    EXPECT_STREQ("zoKorvoRe", record.component);
    EXPECT_STREQ("lib.cpp", record.file);
    EXPECT_EQ(158u, record.line);
}

TEST(StatusRecord, LongFilePathsKeepBothEnds) {
    const std::string exact(100, 'a');
    const std::string tooLong = std::string(49, 'h') + "MIDDLE" + std::string(46, 't') + "END";
    ASSERT_EQ(104u, tooLong.size());
    zoqel::StatusRecord record;
    record.setCode(-1, "c", exact.c_str(), 1);
    EXPECT_EQ(exact, record.file);

    zoqel::StatusRecord other;
    other.setCode(-1, "c", tooLong.c_str(), 1);
    EXPECT_EQ(std::string(49, 'h') + ".." + tooLong.substr(104 - 49), other.file);
    EXPECT_EQ(100u, std::string(other.file).size());
}

TEST(StatusRecord, ShortRecordKeepsOnlyTheCode) {
    zoqel::StatusRecord record;
    record.size = 215;
    EXPECT_TRUE(record.setCode(-7, "component", "file", 3));
    EXPECT_EQ(-7, record.code);
    EXPECT_STREQ("", record.file);
}

TEST(ThrowingStatusRecord, RaisedCodeMapsBackThroughCodeFromCurrentException) {
    int32_t code = 0;
    try {
        zoqel::ThrowingStatusRecord record;
        record.setCode(-52005, "zoKorvoRemoteService", "f", 1);
    } catch (const std::exception&) {
        code = zoerr::codeFromCurrentException();
    }
    EXPECT_EQ(-52005, code);
}

TEST(ThrowingStatusRecord, DetailTextNamesTheOrigin) {
    try {
        zoqel::ThrowingStatusRecord record;
        record.setCode(-52005, "zoKorvoRemoteService", "includes/zoqel/quarks/library", 158);
    } catch (const zoerr::Exception& exception) {
        EXPECT_STREQ(
            "{\"file\":\"includes/zoqel/quarks/library\",\"line\":158,\"component\":\"zoKorvoRe\"}",
            exception.what());
        return;
    }
    FAIL() << "no exception";
}

TEST(ThrowingStatusRecord, StaysQuietWhileAnotherExceptionPropagatesOrWithoutError) {
    EXPECT_THROW(
        {
            zoqel::ThrowingStatusRecord record;
            record.setCode(-1, "c", "f", 1);
            throw std::logic_error("first");
        },
        std::logic_error);
    EXPECT_NO_THROW({
        zoqel::ThrowingStatusRecord record;
        record.setCode(2, "c", "f", 1);
    });
}

}  // namespace
