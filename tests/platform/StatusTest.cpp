#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "zoerr/Json.h"
#include "zoerr/Status.h"

namespace {

TEST(StatusMergeRule, FirstErrorWinsAndErrorReplacesWarning) {
    struct Step {
        int32_t offered;
        bool taken;
        int32_t held;
    };
    const Step steps[] = {
        {0, false, 0},            // success never overwrites
        {7, true, 7},             // a warning is taken by an empty status
        {9, false, 7},            // a warning never replaces a warning
        {0, false, 7},            //
        {-52006, true, -52006},   // an error replaces a warning
        {-52008, false, -52006},  // the first error wins
        {3, false, -52006},       // a warning never replaces an error
    };
    zoerr::Status status;
    for (const Step& step : steps) {
        EXPECT_EQ(step.taken, status.setCode(step.offered)) << step.offered;
        EXPECT_EQ(step.held, status.code);
    }
}

TEST(StatusMergeRule, RejectedCodeKeepsTheDetailAndTakenCodeResetsIt) {
    zoerr::Status status;
    status.setCode(5);
    zoerr::JsonWriter(status).addString("error_constant", "first");
    status.setCode(-52006);
    EXPECT_STREQ("{}", status.json);
    zoerr::JsonWriter(status).addString("error_constant", "second");
    EXPECT_FALSE(status.setCode(-52008));
    EXPECT_STREQ("{\"error_constant\":\"second\"}", status.json);
}

TEST(StatusAssign, TakesTheDetailOverOnlyWhenTheCodeIsTaken) {
    zoerr::Status source;
    source.setCode(-52005);
    zoerr::JsonWriter(source).addInt("line", 3);
    zoerr::Status target;
    EXPECT_TRUE(target.assign(source));
    EXPECT_EQ(-52005, target.code);
    EXPECT_STREQ("{\"line\":3}", target.json);
    EXPECT_EQ(nullptr, source.json);
    EXPECT_EQ(0u, source.capacity);
    EXPECT_EQ(-52005, source.code);

    zoerr::Status other;
    other.setCode(-1);
    zoerr::JsonWriter(other).addInt("x", 1);
    EXPECT_FALSE(target.assign(other));
    EXPECT_STREQ("{\"line\":3}", target.json);
    EXPECT_STREQ("{\"x\":1}", other.json);
}

TEST(ThrowingStatus, ThrowsItsErrorWithTheDetailAtScopeEnd) {
    try {
        zoerr::ThrowingStatus status;
        status.setCode(-52006);
        zoerr::JsonWriter(status).addString("error_constant", "qelStatusResourceNotFound");
    } catch (const zoerr::Exception& exception) {
        EXPECT_EQ(-52006, exception.status.code);
        EXPECT_STREQ("{\"error_constant\":\"qelStatusResourceNotFound\"}", exception.what());
        return;
    }
    FAIL() << "no exception";
}

TEST(ThrowingStatus, WarningsAndSuccessDoNotThrow) {
    EXPECT_NO_THROW({
        zoerr::ThrowingStatus status;
        status.setCode(4);
    });
    EXPECT_NO_THROW({ zoerr::ThrowingStatus status; });
}

TEST(ThrowingStatus, DoesNotThrowWhileAnotherExceptionPropagates) {
    try {
        zoerr::ThrowingStatus status;
        status.setCode(-52008);
        throw std::runtime_error("first");
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("first", error.what());
        return;
    }
    FAIL() << "the first exception was lost";
}

// A status created inside a handler (while an exception is being handled but
// not propagating) still raises: the count is compared with its creation.
TEST(ThrowingStatus, RaisesInsideAHandlerOfAnotherException) {
    int32_t code = 0;
    try {
        throw std::runtime_error("outer");
    } catch (const std::exception&) {
        try {
            zoerr::ThrowingStatus status;
            status.setCode(-52003);
        } catch (const zoerr::Exception& exception) {
            code = exception.status.code;
        }
    }
    EXPECT_EQ(-52003, code);
}

int32_t codeOf(void (*thrower)()) {
    try {
        thrower();
    } catch (const std::exception&) {
        return zoerr::codeFromCurrentException();
    }
    return 0;
}

TEST(CodeFromCurrentException, MapsEachFamily) {
    EXPECT_EQ(-52000, codeOf([] { throw std::bad_alloc(); }));
    EXPECT_EQ(-52003, codeOf([] { throw std::runtime_error("x"); }));
    EXPECT_EQ(-52003, codeOf([] { throw std::logic_error("x"); }));
    EXPECT_EQ(-22, codeOf([] { ZOERR_RAISE(-22, "result"); }));
    EXPECT_EQ(7, codeOf([] {
                  zoerr::Status status;
                  status.setCode(7);
                  throw zoerr::Exception(status);
              }));
}

TEST(CodeFromCurrentException, LetsOtherExceptionsThrough) {
    bool sawInt = false;
    try {
        try {
            throw 42;
        } catch (...) {
            (void)zoerr::codeFromCurrentException();
        }
    } catch (int value) {
        sawInt = value == 42;
    }
    EXPECT_TRUE(sawInt);
}

TEST(Raise, WritesTheFourKeysInOrder) {
    try {
        zoerr::raise(-52002, "zoqelerr_featureUnsupported", "source/tPluginManager.cpp", 91);
    } catch (const zoerr::Exception& exception) {
        EXPECT_STREQ(
            "{\"error_constant\":\"zoqelerr_featureUnsupported\","
            "\"file\":\"source/tPluginManager.cpp\",\"line\":91,"
            "\"component\":\"zoKorvoRemoteService\"}",
            exception.what());
        // what() of both bases is the same text.
        const std::exception& asStd = exception;
        const zoerr::ExceptionBase& asBase = exception;
        EXPECT_EQ(asStd.what(), asBase.what());
    }
}

TEST(Exception, CopyMovesTheDetailAndKeepsTheCode) {
    zoerr::Status status;
    status.setCode(-52005);
    zoerr::JsonWriter(status).addInt("line", 1);
    zoerr::Exception original(status);
    zoerr::Exception copy(original);
    EXPECT_STREQ("{\"line\":1}", copy.what());
    EXPECT_EQ(-52005, copy.status.code);
    EXPECT_EQ(nullptr, original.what());
    EXPECT_EQ(-52005, original.status.code);
}

}  // namespace
