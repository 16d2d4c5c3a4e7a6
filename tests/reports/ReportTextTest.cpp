// The text conventions of the machine-read reports: what any byte of a
// plugin's name becomes in a JSON string and a Prometheus label value.
#include <gtest/gtest.h>

#include <string>

#include "reports/TextEscaping.h"

namespace {

TEST(ReportText, InvalidUtf8BecomesTheReplacementCharacterAndValidPassesWhole) {
    const std::string kReplacement = "\xEF\xBF\xBD";
    const struct {
        std::string input;
        std::string valid;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},  // two-byte sequences
        {"\xF0\x9F\x94\x8C", "\xF0\x9F\x94\x8C"},    // four bytes
        {"a\xFF"
         "b",
         "a" + kReplacement + "b"},                                    // never a UTF-8 byte
        {"\xC3", kReplacement},                                        // cut short at the end
        {"\xC3(", kReplacement + "("},                                 // bad continuation
        {"\xC0\xAF", kReplacement + kReplacement},                     // overlong '/'
        {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},  // a surrogate
        {"\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement},
    };
    for (const auto& test : cases) {
        std::string valid;
        appendValidUtf8(valid, test.input);
        EXPECT_EQ(test.valid, valid) << test.input;
    }
}

TEST(ReportText, EachFormatEscapesItsOwnCharacters) {
    const std::string name = "a\"b\\c\nd\te\x01\xFF";
    std::string json;
    appendJsonString(json, name);
    EXPECT_EQ("\"a\\\"b\\\\c\\nd\\te\\u0001\xEF\xBF\xBD\"", json);
    std::string label;
    appendLabelValue(label, name);
    EXPECT_EQ("a\\\"b\\\\c\\nd\te\x01\xEF\xBF\xBD", label);
}

TEST(ReportText, TimesAreUtcToTheMillisecond) {
    std::string text;
    appendIsoTime(text, timespec{1796710445, 123999999});
    EXPECT_EQ("2026-12-08T06:14:05.123Z", text);
}

}  // namespace
