// zohtl::ByteVector: insertion anywhere, growth, and failures reported into
// the status instead of thrown.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/DescriptionsTestSupport.h"
#include "zohtl/err/Allocator.h"

// The unobtainable-storage case asks malloc for an absurd size; under
// AddressSanitizer that must come back null as it does without it.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using zotest::contents;
using zotest::detailWithoutLine;

TEST(ByteVector, InsertsCopiesAtTheFrontTheMiddleAndTheEnd) {
    zoerr::Status status;
    zohtl::ByteVector bytes;
    bytes.insert(0, 3, 'b', status);
    bytes.insert(0, 1, 'a', status);
    bytes.insert(2, 2, 'x', status);
    bytes.insert(bytes.size, 2, 'c', status);
    EXPECT_EQ(0, status.code);
    EXPECT_EQ("abxxbbcc", contents(bytes));
}

TEST(ByteVector, GrowthTakesTheLargerOfDoubleAndNeeded) {
    struct Step {
        uint64_t count;
        uint64_t capacityAfter;
    };
    const Step steps[] = {{3, 3}, {1, 6}, {2, 6}, {1, 12}, {20, 27}, {0, 27}};
    zoerr::Status status;
    zohtl::ByteVector bytes;
    uint64_t expectedSize = 0;
    for (const Step& step : steps) {
        bytes.insert(bytes.size / 2, step.count, 'z', status);
        expectedSize += step.count;
        EXPECT_EQ(step.capacityAfter, bytes.capacity) << "after inserting " << step.count;
        EXPECT_EQ(expectedSize, bytes.size);
    }
    EXPECT_EQ(std::string(expectedSize, 'z'), contents(bytes));
    EXPECT_EQ(0, status.code);
}

TEST(ByteVector, FailedGrowthRaisesOutOfMemoryAndKeepsTheContents) {
    const uint64_t counts[] = {UINT64_MAX, UINT64_MAX - 1, uint64_t(1) << 62};
    for (uint64_t count : counts) {
        zoerr::Status status;
        zohtl::ByteVector bytes;
        bytes.insert(0, 2, 'k', status);
        bytes.insert(1, count, 'n', status);
        EXPECT_EQ(-52000, status.code) << count;
        EXPECT_EQ(
            "{\"error_constant\":\"-52000\",\"file\":\"source/zohtl/Allocator.cpp\",\"line\":0,"
            "\"component\":\"zoKorvoRemoteService\"}",
            detailWithoutLine(status));
        EXPECT_EQ("kk", contents(bytes));
        EXPECT_EQ(2u, bytes.capacity);
    }
}

TEST(ByteVector, PositionPastTheEndIsRejectedWithoutWriting) {
    zoerr::Status status;
    zohtl::ByteVector bytes;
    bytes.insert(0, 2, 'k', status);
    bytes.insert(3, 1, 'n', status);
    EXPECT_EQ(-52005, status.code);
    EXPECT_EQ("kk", contents(bytes));
}

TEST(ByteVector, AnErrorAlreadyHeldMakesInsertDoNothing) {
    zoerr::Status status;
    status.setCode(-7);
    zohtl::ByteVector bytes;
    bytes.insert(0, 4, 'q', status);
    EXPECT_EQ(-7, status.code);
    EXPECT_EQ(0u, bytes.size);
    EXPECT_EQ(nullptr, bytes.data);
}

TEST(ByteVector, AWarningDoesNotStopInsertion) {
    zoerr::Status status;
    status.setCode(3);
    zohtl::ByteVector bytes;
    bytes.insert(0, 2, 'w', status);
    EXPECT_EQ(3, status.code);
    EXPECT_EQ("ww", contents(bytes));
}

}  // namespace
