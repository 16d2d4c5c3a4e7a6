// The escapers against plain byte-by-byte references: the escapers copy runs
// of plain bytes eight at a time and look at UTF-8 only from the first byte
// above 0x7f, so every kind of byte is tried at every place of a word and
// at the ends of runs, into an empty text, a text with something in it,
// and through an appender.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "text/TextAppender.h"
#include "text/VisibleText.h"
#include "reports/TextEscaping.h"

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

std::string hexEscape(const char* prefix, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    return prefix + std::string{kDigits[byte >> 4], kDigits[byte & 0xf]};
}

std::string visibleReference(const std::string& text) {
    std::string out;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (character == '\n') {
            out += "\\n";
        } else if (character == '\r') {
            out += "\\r";
        } else if (character == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            out += hexEscape("\\x", byte);
        } else {
            out += character;
        }
    }
    return out;
}

// The code point of the valid UTF-8 sequence at text[at] and its length,
// decoded the long way; length 0 when none starts there.
size_t referenceSequenceLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const size_t length = lead < 0x80       ? 1
                          : lead >> 5 == 6  ? 2
                          : lead >> 4 == 14 ? 3
                          : lead >> 3 == 30 ? 4
                                            : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    uint32_t codePoint = length == 1 ? lead : lead & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = codePoint << 6 | (byte(at + i) & 0x3f);
    }
    const uint32_t leastOfLength[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = codePoint >= leastOfLength[length] && codePoint <= 0x10FFFF &&
                       !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
    return valid ? length : 0;
}

// Each ASCII byte through `escape`, valid sequences whole, U+FFFD for every
// other byte.
template <typename Escape>
std::string utf8Reference(const std::string& text, Escape escape) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t length = referenceSequenceLength(text, at);
        if (length == 0) {
            out += kReplacement;
            ++at;
        } else if (length == 1) {
            out += escape(text[at]);
            ++at;
        } else {
            out += text.substr(at, length);
            at += length;
        }
    }
    return out;
}

std::string sharedEscape(char character) {
    return character == '"' ? "\\\"" : character == '\\' ? "\\\\" : character == '\n' ? "\\n" : "";
}

std::string jsonReference(const std::string& text) {
    return "\"" +
           utf8Reference(text,
                         [](char character) {
                             const auto byte = static_cast<unsigned char>(character);
                             if (!sharedEscape(character).empty()) {
                                 return sharedEscape(character);
                             }
                             if (character == '\t') {
                                 return std::string("\\t");
                             }
                             return byte < 0x20 ? hexEscape("\\u00", byte)
                                                : std::string(1, character);
                         }) +
           "\"";
}

std::string labelReference(const std::string& text) {
    return utf8Reference(text, [](char character) {
        return sharedEscape(character).empty() ? std::string(1, character)
                                               : sharedEscape(character);
    });
}

std::string validReference(const std::string& text) {
    return utf8Reference(text, [](char character) { return std::string(1, character); });
}

// Plain letters with, now and then, a byte that matters to some escaper:
// a control character, DEL, a quote, a backslash, a lead or continuation
// byte, a valid sequence (whole or cut short) or any byte at all.
std::string randomText(std::mt19937& random) {
    static const char* const kPieces[] = {"\n",
                                          "\r",
                                          "\t",
                                          "\x01",
                                          "\x1b",
                                          "\x1f",
                                          "\x7f",
                                          "\"",
                                          "\\",
                                          " ",
                                          "\x80",
                                          "\xbf",
                                          "\xc0\xaf",
                                          "\xc2",
                                          "\xc3\xa9",
                                          "\xe0\xa0\x80",
                                          "\xe0\x80\x80",
                                          "\xed\x9f\xbf",
                                          "\xed\xa0\x80",
                                          "\xef\xbf\xbd",
                                          "\xf0\x90\x80\x80",
                                          "\xf4\x8f\xbf\xbf",
                                          "\xf4\x90\x80\x80",
                                          "\xf5",
                                          "\xfe",
                                          "\xff",
                                          "\xe2\x82",
                                          "\xf0\x9f\x94"};
    std::string text;
    const size_t length = random() % 40;
    while (text.size() < length) {
        const unsigned kind = random() % 8;
        if (kind < 5) {
            text += static_cast<char>('a' + random() % 26);
        } else if (kind < 7) {
            text += kPieces[random() % (sizeof kPieces / sizeof kPieces[0])];
        } else {
            text += static_cast<char>(1 + random() % 255);
        }
    }
    return text;
}

// `escape` appended to an empty text, to one that holds something, and
// through an appender over one that holds something, all agree with `reference`.
template <typename Escape, typename AppenderEscape, typename Reference>
void expectAgreement(const std::string& text, Escape escape, AppenderEscape appenderEscape,
                     Reference reference) {
    const std::string expected = reference(text);
    std::string alone;
    escape(alone, text);
    ASSERT_EQ(expected, alone) << visibleReference(text);
    std::string behind = "before:";
    escape(behind, text);
    ASSERT_EQ("before:" + expected, behind) << visibleReference(text);
    std::string appended = "before:";
    {
        tTextAppender out(appended);
        appenderEscape(out, text);
        out.append(":after");
    }
    ASSERT_EQ("before:" + expected + ":after", appended) << visibleReference(text);
}

TEST(EscapingProperty, EveryEscaperAgreesWithItsReferenceOnRandomBytes) {
    std::mt19937 random(20261208);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = randomText(random);
        expectAgreement(
            text, [](std::string& out, const std::string& in) { appendJsonString(out, in); },
            [](tTextAppender& out, const std::string& in) { appendJsonString(out, in); },
            jsonReference);
        expectAgreement(
            text, [](std::string& out, const std::string& in) { appendLabelValue(out, in); },
            [](tTextAppender& out, const std::string& in) { appendLabelValue(out, in); },
            labelReference);
        expectAgreement(
            text, [](std::string& out, const std::string& in) { appendVisible(out, in); },
            [](tTextAppender& out, const std::string& in) { appendVisible(out, in); },
            visibleReference);
        std::string valid;
        appendValidUtf8(valid, text);
        ASSERT_EQ(validReference(text), valid) << visibleReference(text);
    }
}

// Every byte value at every place of the first two words of a plain run,
// and at its very end.
TEST(EscapingProperty, EachByteAtEachPlaceOfAWordIsSeen) {
    for (size_t length : {1, 7, 8, 9, 15, 16, 17}) {
        for (size_t place = 0; place < length; ++place) {
            for (int byte = 1; byte < 256; ++byte) {
                std::string text(length, 'a');
                text[place] = static_cast<char>(byte);
                std::string json;
                appendJsonString(json, text);
                ASSERT_EQ(jsonReference(text), json) << byte << " at " << place;
                std::string label;
                appendLabelValue(label, text);
                ASSERT_EQ(labelReference(text), label) << byte << " at " << place;
                ASSERT_EQ(visibleReference(text), visible(text)) << byte << " at " << place;
            }
        }
    }
}

TEST(TextAppender, GrowsFromWhatTheTextHoldsAndEndsAtWhatWasAppended) {
    std::string text = "head:";
    std::string expected = text;
    {
        tTextAppender out(text);
        for (int i = 0; i < 5000; ++i) {
            out.append("ab");
            out.push_back('|');
            out.appendCString(i % 2 ? "odd" : "even");
            out.append(std::string(i % 50, 'x'));
            out.appendDecimal(i - 2500);
            expected += "ab|" + std::string(i % 2 ? "odd" : "even") + std::string(i % 50, 'x') +
                        std::to_string(i - 2500);
        }
        EXPECT_EQ(expected.size(), out.size());
    }
    EXPECT_EQ(expected, text);
}

TEST(TextAppender, WritesTheExtremesOfEveryWholeNumber) {
    std::string text;
    {
        tTextAppender out(text);
        out.appendDecimal(INT64_MIN);
        out.push_back(' ');
        out.appendDecimal(UINT64_MAX);
        out.push_back(' ');
        out.appendDecimal(int32_t{-52026});
        out.push_back(' ');
        out.appendDecimal(uint32_t{0});
    }
    EXPECT_EQ("-9223372036854775808 18446744073709551615 -52026 0", text);
}

}  // namespace
