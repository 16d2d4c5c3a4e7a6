// What a document holds after a read: sections, keys, values, the first error line, and lookups.
#include <ctype.h>
#include <gtest/gtest.h>

#include "IniTestSupport.h"

namespace {

constexpr uint32_t kServiceFlags = kIniAllowEmptyValues | kIniStripDoubleQuotes;

struct DocumentCase {
    const char* text;
    uint32_t flags;
    const char* expected;  // describeIni of the result
    int32_t firstErrorLine;
};

class IniDocumentTest : public ::testing::Test {
  protected:
    IniDocument read(const std::string& text, uint32_t flags) {
        IniDocument document = newIniDocument(flags);
        EXPECT_EQ(kIniResultOk, document->readFile(directory_.write("doc.ini", text).c_str()));
        return document;
    }

    template <size_t N>
    void expectDocuments(const DocumentCase (&cases)[N]) {
        for (const DocumentCase& c : cases) {
            SCOPED_TRACE(c.text);
            IniDocument document = read(c.text, c.flags);
            EXPECT_EQ(c.expected, describeIni(*document));
            EXPECT_EQ(c.firstErrorLine, document->firstErrorLine());
        }
    }

    IniScratchDirectory directory_;
};

TEST_F(IniDocumentTest, KeysLandInTheirSectionsAndSemicolonsAfterTheSeparatorStay) {
    IniDocument document = read(
        "; comment\n[Service]\nName=alpha\n  Path = /usr/lib/x.so ; not a comment\n"
        "[Other]\nName=beta\n",
        kServiceFlags);
    EXPECT_EQ("[Service]Name=alpha,Path=/usr/lib/x.so ; not a comment[Other]Name=beta",
              describeIni(*document));
    EXPECT_EQ(-1, document->firstErrorLine());
    const char* value = nullptr;
    EXPECT_EQ(1, document->getValue("Other", "Name", &value));
    EXPECT_STREQ("beta", value);
}

TEST_F(IniDocumentTest, ErrorLinesDefineNothingAndTheFirstIsRemembered) {
    const DocumentCase cases[] = {
        {"[s]\na=1\n\nb=2\n", kServiceFlags, "[s]a=1,b=2", 3},
        {"[s]\na=1\n \t \nb=2\n", kServiceFlags, "[s]a=1,b=2", 3},
        {"[s]\na=1\n\n", kServiceFlags, "[s]a=1", 3},
        {"[s]\n# note\na=1\n", kServiceFlags, "[s]a=1", 2},
        {"[s]\n=1\nx\n", kServiceFlags, "[s]", 2},
        {"[s\na=1\n", kServiceFlags, "", 1},
        {"[ ]\n[s]\n", kServiceFlags, "[s]", 1},
        {"[s]\na=\nb=  \n", kIniStripDoubleQuotes, "[s]", 2},
        {"[s]\na=\nb=  \n", kServiceFlags, "[s]a=,b=", -1},
        {"[s]\na:1\n", kServiceFlags, "[s]", 2},
        {"a=1\n[s]\nb=2\n", kServiceFlags, "[s]b=2", -1},
    };
    expectDocuments(cases);
}

TEST_F(IniDocumentTest, HeadersDifferingInCaseOrBlanksContinueOneSection) {
    IniDocument document = read("[Service]\na=1\n[ sERVICE ]  ignored\nb=2\nA=3\n", kServiceFlags);
    EXPECT_EQ("[Service]a=3,b=2", describeIni(*document));
    const char* value = nullptr;
    EXPECT_EQ(1, document->getValue(" service ", "B", &value));
    EXPECT_STREQ("2", value);
    EXPECT_EQ(document->sections[0], document->findSection("SERVICE"));
}

TEST_F(IniDocumentTest, NamesCompareWithoutCaseAndSurroundingBlanks) {
    const struct {
        const char* left;
        const char* right;
        int sign;
    } cases[] = {
        {"Service", "sERVICE", 0}, {" abc", "abc \t", 0}, {"abc", "abd", -1},    {"abc", "ab", 1},
        {"a b", "ab", -1},         {"", "  ", 0},         {"abc \t", " ABC", 0},
    };
    for (const auto& c : cases) {
        const int result = IniFile::compareNames(c.left, c.right);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0)) << c.left << " ~ " << c.right;
    }
}

// Every byte is blank or not, and has an upper case or not, exactly as the C library says in
// the C locale: names such as "\xE4" or "a\xA0" are compared byte for byte.
TEST_F(IniDocumentTest, EveryByteComparesAsInTheCLocale) {
    for (int value = 1; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        SCOPED_TRACE(value);
        const std::string lower = std::string("a") + byte + "z";
        const std::string upper = std::string("A") + static_cast<char>(toupper(value)) + "Z";
        EXPECT_EQ(0, IniFile::compareNames(lower.c_str(), upper.c_str()));
        const std::string padded = std::string(1, byte) + "n" + std::string(1, byte);
        EXPECT_EQ(isspace(value) != 0, IniFile::compareNames(padded.c_str(), "N") == 0);
        const int order = IniFile::compareNames(std::string(1, byte).c_str(), "_");
        if (!isspace(value)) {
            EXPECT_EQ(toupper(value) - '_', order);
        }
    }
}

// Look-ups tell most names apart by their first byte alone: for every pair of first bytes a
// stored key is found by a name exactly when compareNames calls the two equal.
TEST_F(IniDocumentTest, LookUpsFindANameExactlyWhenCompareNamesCallsItEqual) {
    IniDocument document = newIniDocument(kServiceFlags);
    const std::string text = "[s]\nxk=1\n";
    ASSERT_EQ(kIniResultOk, document->readBytes(text.data(), text.size()));
    for (int stored = 1; stored < 256; ++stored) {
        for (int asked = 1; asked < 256; ++asked) {
            const std::string key = std::string(1, static_cast<char>(stored)) + "k";
            const std::string name = std::string(1, static_cast<char>(asked)) + "K";
            document->sections[0]->keys[0]->name[0] = key[0];
            const bool equal = IniFile::compareNames(key.c_str(), name.c_str()) == 0;
            ASSERT_EQ(equal ? 1 : 0, document->hasKey("s", name.c_str())) << stored << " " << asked;
        }
        for (const char* name : {"K", " k", "\tK "}) {
            const bool equal =
                IniFile::compareNames(document->sections[0]->keys[0]->name, name) == 0;
            ASSERT_EQ(equal ? 1 : 0, document->hasKey("s", name)) << stored << " " << name;
        }
    }
}

TEST_F(IniDocumentTest, KeysBeforeTheFirstHeaderGoToNullSectionOnlyWithRelaxedSyntax) {
    const uint32_t relaxed = kServiceFlags | kIniRelaxedSyntax;
    const DocumentCase cases[] = {
        {"a=1\n[s]\nb=2\n", kServiceFlags, "[s]b=2", -1},
        {"a=1\n[s]\nb=2\n", relaxed, "[(null)]a=1[s]b=2", -1},
        {"a=1\n[(NULL)]\nb=2\n", relaxed, "[(null)]a=1,b=2", -1},
    };
    expectDocuments(cases);
}

TEST_F(IniDocumentTest, RelaxedSyntaxSeparatesAtColonOrColonEquals) {
    const uint32_t relaxed = kIniStripDoubleQuotes | kIniRelaxedSyntax;
    const DocumentCase cases[] = {
        {"[s]\na:b\n", relaxed, "[s]a=b", -1},
        {"[s]\na := b\n", relaxed, "[s]a=b", -1},
        {"[s]\na=:b\n", relaxed, "[s]a=:b", -1},
        {"[s]\na:b=c\n", relaxed, "[s]a=b=c", -1},
        {"[s]\na=b:c\n", kIniStripDoubleQuotes, "[s]a=b:c", -1},
        {"[s]\na:=b\n", kIniStripDoubleQuotes, "[s]a:=b", -1},
    };
    expectDocuments(cases);
}

TEST_F(IniDocumentTest, QuotesAreStrippedAccordingToTheFlags) {
    const uint32_t both = kIniStripDoubleQuotes | kIniStripSingleQuotes;
    const DocumentCase cases[] = {
        {"[s]\nv=\"  x  \"\n", kServiceFlags, "[s]v=  x  ", -1},
        {"[s]\nv='x'\n", kServiceFlags, "[s]v='x'", -1},
        {"[s]\nv='x'\n", kIniStripSingleQuotes, "[s]v=x", -1},
        {"[s]\nv=\"'x'\"\n", both, "[s]v='x'", -1},
        {"[s]\nv=\"x\"\n", 0, "[s]v=\"x\"", -1},
        {"[s]\nv=\"\n", kServiceFlags, "[s]v=\"", -1},
        {"[s]\nv=\"x'\n", both, "[s]v=\"x'", -1},
        {"[s]\nv=\"\"\n", kIniStripDoubleQuotes, "[s]v=", -1},
    };
    expectDocuments(cases);
}

TEST_F(IniDocumentTest, NumberedKeysAreJoinedIntoRunsStartingAtOne) {
    const DocumentCase cases[] = {
        {"[s]\nName Line0001=ab\nName Line0002=cd\nName Line0003=ef\n", kServiceFlags,
         "[s]Name=abcdef", -1},
        {"[s]\nName Line0002=cd\n", kServiceFlags, "[s]Name Line0002=cd", -1},
        {"[s]\nA Line1=a\nA Line2=b\nX=x\nA Line3=c\n", kServiceFlags, "[s]A=ab,X=x,A Line3=c", -1},
        {"[s]\nA Line1=a\nB Line1=b\nB Line2=c\n", kServiceFlags, "[s]A=a,B=bc", -1},
        {"[s]\nA Line1=a\nB Line7=b\n", kServiceFlags, "[s]A=ab", -1},
        {"[s]\nA Line1=a\n[t]\nA Line2=b\n", kServiceFlags, "[s]A=a[t]A Line2=b", -1},
        {"[s]\nA Line1=a\nA Line2x=b\n", kServiceFlags, "[s]A=a,A Line2x=b", -1},
        {"[s]\nA Line1=a\nA Line=b\n", kServiceFlags, "[s]A=a,A Line=b", -1},
        {"[s]\nA Line1=a\nA line2=b\n", kServiceFlags, "[s]A=a,A line2=b", -1},
        {"[s]\nA Line18446744073709551617=a\n", kServiceFlags, "[s]A Line18446744073709551617=a",
         -1},
    };
    expectDocuments(cases);
}

TEST_F(IniDocumentTest, NumberedKeysWithLongBaseNamesJoinWhole) {
    const std::string base(5000, 'n');
    IniDocument document =
        read("[s]\n" + base + " Line1=ab\n" + base + " Line2=cd\n", kServiceFlags);
    EXPECT_EQ("[s]" + base + "=abcd", describeIni(*document));
}

TEST_F(IniDocumentTest, MissingSectionOrKeyGivesZeroAndNull) {
    IniDocument document = read("[s]\na=1\n", kServiceFlags);
    const char* lookups[][2] = {{"t", "a"}, {"s", "b"}, {nullptr, "a"}, {"s", nullptr}};
    for (const auto& lookup : lookups) {
        const char* value = "untouched";
        EXPECT_EQ(0, document->getValue(lookup[0], lookup[1], &value));
        EXPECT_EQ(nullptr, value);
        EXPECT_EQ(0, document->hasKey(lookup[0], lookup[1]));
    }
    EXPECT_EQ(nullptr, document->findSection("t"));
}

TEST_F(IniDocumentTest, ReadingAgainReplacesTheDocument) {
    IniDocument document = read("[old]\na=1\nbad\n", kServiceFlags);
    ASSERT_EQ(3, document->firstErrorLine());
    ASSERT_NE(nullptr, document->findSection("old"));
    EXPECT_EQ(kIniResultOk,
              document->readFile(directory_.write("new.ini", "[new]\nb=2\n").c_str()));
    EXPECT_EQ("[new]b=2", describeIni(*document));
    EXPECT_EQ(-1, document->firstErrorLine());
    EXPECT_EQ(nullptr, document->findSection("old"));
}

TEST_F(IniDocumentTest, CreateAcceptsOnlyZeroAndStartsStrippingDoubleQuotes) {
    EXPECT_EQ(nullptr, IniFile::create(1));
    IniDocument document(IniFile::create(0), &IniFile::destroy);
    ASSERT_NE(nullptr, document);
    EXPECT_EQ(-1, document->firstErrorLine());
    EXPECT_EQ(kIniResultOk,
              document->readFile(directory_.write("d.ini", "[s]\nv=\"x\"\nv2=\n").c_str()));
    EXPECT_EQ("[s]v=x", describeIni(*document));
    IniFile::destroy(nullptr);
}

TEST(IniClassifyLine, NamesTheKindOfEachLineAndItsParts) {
    const struct {
        const char* line;
        uint32_t flags;
        IniLineKind kind;
        const char* name;
        const char* value;
    } cases[] = {
        {"  ; note = x", 0, kIniLineComment, "", ""},
        {" [ Service ] tail", 0, kIniLineSection, "Service", ""},
        {" Name = \"a b\" ", kIniStripDoubleQuotes, kIniLineKey, "Name", "a b"},
        {"", 0, kIniLineBlank, "", ""},
        {" \t", 0, kIniLineBlank, "", ""},
        {"# note", 0, kIniLineNoSeparator, "", ""},
        {"a:b", 0, kIniLineNoSeparator, "", ""},
        {" = value", 0, kIniLineEmptyKeyName, "", ""},
        {"[Service", 0, kIniLineUnclosedSection, "", ""},
        {"[  ]", 0, kIniLineEmptySectionName, "", ""},
        {"key =  ", 0, kIniLineEmptyValue, "", ""},
        {"key =  ", kIniAllowEmptyValues, kIniLineKey, "key", ""},
        {"key := v", kIniRelaxedSyntax, kIniLineKey, "key", "v"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        IniLineParts parts;
        const IniLineKind kind = iniClassifyLine(c.line, c.flags, &parts);
        EXPECT_EQ(c.kind, kind);
        EXPECT_EQ(c.name, std::string(parts.name.start, parts.name.length));
        EXPECT_EQ(c.value, std::string(parts.value.start, parts.value.length));
    }
}

}  // namespace
