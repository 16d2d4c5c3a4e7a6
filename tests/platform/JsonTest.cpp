#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zoerr/Json.h"
#include "zoerr/Status.h"

namespace {

TEST(JsonWriter, WritesTheDetailCompactlyInItsBufferFormat) {
    zoerr::Status status;
    status.setCode(-52008);
    zoerr::JsonWriter(status)
        .addString("error_constant", "zoqelerr_osFault")
        .addSource("source/tService.cpp", 217, "zoKorvoRemoteService");
    EXPECT_STREQ(
        "{\"error_constant\":\"zoqelerr_osFault\",\"file\":\"source/tService.cpp\","
        "\"line\":217,\"component\":\"zoKorvoRemoteService\"}",
        status.json);
    ASSERT_EQ(512u, status.capacity);
    EXPECT_EQ('J', status.json[511]);
    for (size_t i = strlen(status.json); i < 511; ++i) {
        ASSERT_EQ('\0', status.json[i]) << i;
    }
}

TEST(JsonWriter, NestedObjectsCloseBackIntoTheirParent) {
    zoerr::Status status;
    zoerr::JsonWriter(status)
        .addString("a", "1")
        .openObject("internal_error")
        .addString("api", "errno")
        .addInt("code", -2)
        .closeObject()
        .openObject("empty")
        .closeObject()
        .addSize("size", 18446744073709551615ull)
        .addUnsigned("u", 4294967295u);
    EXPECT_STREQ(
        "{\"a\":\"1\",\"internal_error\":{\"api\":\"errno\",\"code\":-2},\"empty\":{},"
        "\"size\":18446744073709551615,\"u\":4294967295}",
        status.json);
}

TEST(JsonWriter, EscapesKeysAndValues) {
    zoerr::Status status;
    zoerr::JsonWriter(status).addString("k\"ey",
                                        "q\" b\\ t\t n\n r\r f\f b\b c\x01 d\x1f \xc3\xa9");
    EXPECT_STREQ(
        "{\"k\\\"ey\":\"q\\\" b\\\\ t\\t n\\n r\\r f\\f b\\b c\\u0001 d\\u001f \xc3\xa9\"}",
        status.json);
    // Control characters are escaped, so the text still validates and later
    // members are still written.
    zoerr::JsonWriter(status).addInt("next", 1);
    EXPECT_NE(nullptr, strstr(status.json, ",\"next\":1}"));
}

TEST(JsonWriter, GrowsByDoublingAndWritesTheMemberWhole) {
    zoerr::Status status;
    const std::string big(600, 'x');
    zoerr::JsonWriter writer(status);
    writer.addString("small", "v");
    ASSERT_EQ(512u, status.capacity);
    writer.addString("big", big.c_str()).addString("after", "y");
    EXPECT_EQ(1024u, status.capacity);
    EXPECT_EQ("{\"small\":\"v\",\"big\":\"" + big + "\",\"after\":\"y\"}",
              std::string(status.json));
    EXPECT_EQ('J', status.json[1023]);
}

TEST(JsonWriter, GrowthKeepsTheCursorInsideANestedObject) {
    zoerr::Status status;
    const std::string big(3000, 'y');
    zoerr::JsonWriter(status)
        .openObject("o")
        .addString("big", big.c_str())
        .addInt("n", 5)
        .closeObject()
        .addInt("m", 6);
    EXPECT_EQ("{\"o\":{\"big\":\"" + big + "\",\"n\":5},\"m\":6}", std::string(status.json));
    EXPECT_EQ(4096u, status.capacity);
}

TEST(JsonPrimitives, FailWithoutRoomAndLeaveTheTextAsItWas) {
    // A hand-made buffer: "{}", NUL fill and the sentinel, 12 bytes.
    char buffer[12] = "{}";
    buffer[11] = 'J';
    char* point = zoerr::findContainerEnd(buffer);
    ASSERT_EQ(buffer + 1, point);
    EXPECT_EQ(nullptr, zoerr::json::addString(point, "key", "value"));
    EXPECT_STREQ("{}", buffer);
    char* after = zoerr::json::addInt(point, "a", 1);  // "a":1 is 5 bytes; 9 free
    ASSERT_NE(nullptr, after);
    EXPECT_STREQ("{\"a\":1}", buffer);
    EXPECT_EQ(nullptr, zoerr::json::addInt(after, "b", 2));  // needs a comma too: 6 > 3
    EXPECT_STREQ("{\"a\":1}", buffer);
    EXPECT_EQ(nullptr, zoerr::json::addInt(nullptr, "b", 2));
    EXPECT_EQ(nullptr, zoerr::json::closeObject(nullptr));
}

TEST(MallocResize, RoundsUpToPowersOfTwoFrom512AndFreesOnZero) {
    struct Case {
        int32_t request;
        uint32_t capacity;
    };
    const Case cases[] = {{1, 512}, {258, 512}, {512, 512}, {513, 1024}, {600, 1024}, {5000, 8192}};
    for (const Case& c : cases) {
        zoerr::Status status;
        ASSERT_TRUE(zoerr::mallocResize(status, c.request));
        EXPECT_EQ(c.capacity, status.capacity) << c.request;
        EXPECT_STREQ("{}", status.json);
        EXPECT_EQ('J', status.json[c.capacity - 1]);
    }
    zoerr::Status status;
    ASSERT_TRUE(zoerr::mallocResize(status, 700));
    EXPECT_TRUE(zoerr::mallocResize(status, 100));  // not above capacity: unchanged
    EXPECT_EQ(1024u, status.capacity);
    EXPECT_FALSE(zoerr::mallocResize(status, -5));
    EXPECT_TRUE(zoerr::mallocResize(status, 0));
    EXPECT_EQ(nullptr, status.json);
    EXPECT_EQ(0u, status.capacity);
}

TEST(StatusJson, ReserveAndSetJson) {
    zoerr::Status status;
    char* point = status.reserveJson(2);
    ASSERT_NE(nullptr, point);
    EXPECT_STREQ("{}", status.json);
    EXPECT_EQ(status.json + 1, point);
    EXPECT_EQ(nullptr, status.reserveJson(2147483646));

    char* last = status.setJson("[1,2]");
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(']', *last);
    EXPECT_EQ(status.json + 4, status.reserveJson(10));
    status.setJson("not json");
    EXPECT_EQ(nullptr, status.reserveJson(10));
    // Such a text stops every later writer without touching the code.
    status.setCode(-1);
    status.setJson("{\"a\":\"\x01\"}");
    zoerr::JsonWriter writer(status);
    writer.addInt("b", 2);
    EXPECT_EQ(nullptr, writer.cursor);
    EXPECT_EQ(-1, status.code);
}

TEST(FindContainerEnd, AcceptsJsonStructureAndRejectsTheRest) {
    struct Case {
        const char* text;
        int endOffset;  // -1: rejected
    };
    const Case cases[] = {
        {"{}", 1},
        {"[]", 1},
        {" {}", -1},
        {"{ \"a\" : 1 , \"b\":[true,false,null,-1.5e+3,\"x\\u00e9\\n\"] }", 54},
        {"{\"a\":{}}trailing", 7},
        {"[1,]", -1},
        {"{\"a\":1,}", -1},
        {"{\"a\"}", -1},
        {"{a:1}", -1},
        {"[\"\\x\"]", -1},
        {"[\"\\u12\"]", -1},
        {"[\"raw\ttab\"]", -1},
        {"[\"unterminated", -1},
        {"[-]", 2},
        {"[1e]", -1},
        {"[tru]", -1},
        {"{", -1},
        {"", -1},
        {"x", -1},
    };
    for (const Case& c : cases) {
        const char* end = zoerr::findContainerEnd(c.text);
        if (c.endOffset < 0) {
            EXPECT_EQ(nullptr, end) << c.text;
        } else {
            EXPECT_EQ(c.text + c.endOffset, end) << c.text;
        }
    }
}

TEST(FindContainerEnd, DeepNestingFailsInsteadOfExhaustingTheStack) {
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    EXPECT_EQ(nullptr, zoerr::findContainerEnd(deep.c_str()));
    std::string shallow(100, '[');
    shallow += std::string(100, ']');
    EXPECT_EQ(shallow.c_str() + 199, zoerr::findContainerEnd(shallow.c_str()));
}

}  // namespace
