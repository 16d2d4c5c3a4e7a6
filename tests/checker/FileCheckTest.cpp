// The check of one description file: the service's verdict, every reason
// with the line the INI reader counted, and the warnings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CheckerTestSupport.h"
#include "FileCheck.h"
#include "support/DescriptionsTestSupport.h"
#include "plugins/PluginDescriptionFile.h"

namespace {

using nPluginCheck::checkDescriptionFile;
using nPluginCheck::tFileReport;
using tKinds = std::vector<std::string>;

const std::string kGood = "[Service]\nName=alpha\nPath=/usr/lib/libalpha.so\n";

TEST(DescriptionFileCheck, EveryReasonForRejectionIsNamedWithItsLine) {
    struct tCase {
        const char* what;
        std::string text;
        tKinds errors;  // "kind@line"
        int32_t code;
    };
    const std::vector<tCase> cases = {
        {"blank line", "[Service]\nName=a\n\nPath=/x.so\n", {"blank-line@3"}, -52005},
        {"white space only", "[Service]\n \t\nName=a\n", {"blank-line@2"}, -52005},
        {"empty last line", kGood + "\n", {"blank-line@4"}, -52005},
        {"empty last line after CR LF", "[Service]\r\nName=a\r\n\r\n", {"blank-line@3"}, -52005},
        {"blank first line", "\n" + kGood, {"blank-line@1"}, -52005},
        {"number sign", "[Service]\n# note\nName=a\n", {"hash-comment@2"}, -52005},
        {"indented number sign", "[Service]\nName=a\n   #\n", {"hash-comment@3"}, -52005},
        {"no equals sign", "[Service]\nName=a\nPath\n", {"no-equals-sign@3"}, -52005},
        {"empty key name", "[Service]\n = value\n", {"empty-key-name@2"}, -52005},
        {"header without bracket", "[Service\nName=a\n", {"unclosed-section-header@1"}, -52005},
        {"empty header", "[Service]\n[  ]\nName=a\n", {"empty-section-name@2"}, -52005},
        {"bad line in another section", kGood + "[Other]\nx\n", {"no-equals-sign@5"}, -52005},
        {"every bad line, first counts",
         "[Service]\n\n# x\nx\n=x\n[x\n[]\n\n",
         {"blank-line@2", "hash-comment@3", "no-equals-sign@4", "empty-key-name@5",
          "unclosed-section-header@6", "empty-section-name@7", "blank-line@8"},
         -52005},
        {"UTF-16 LE mark", "\xFF\xFE[\0S\0", {"byte-order-mark@1"}, -3},
        {"UTF-16 BE mark", "\xFE\xFF\0[", {"byte-order-mark@1"}, -3},
        {"UTF-32 LE mark", std::string("\xFF\xFE\0\0[\0\0\0", 8), {"byte-order-mark@1"}, -3},
        {"UTF-32 BE mark", std::string("\0\0\xFE\xFF\0\0\0[", 8), {"byte-order-mark@1"}, -3},
    };
    zotest::tScratchDirectory directory;
    for (const tCase& test : cases) {
        const tFileReport report = checkDescriptionFile(directory.add("file.ini", test.text));
        EXPECT_FALSE(report.accepted) << test.what;
        EXPECT_EQ(test.code, report.code) << test.what;
        EXPECT_EQ(test.errors, zotest::kindsAndLines(report.errors)) << test.what;
    }
}

TEST(DescriptionFileCheck, ReasonsSayWhatIsWrongInPlainWords) {
    struct tCase {
        std::string text;
        const char* words;
    };
    const std::vector<tCase> cases = {
        {kGood + "\n", "empty last line"},
        {"[Service]\n\nName=a\n", "blank line"},
        {"[Service]\n# note\n", "\"# note\" is not a comment: only \";\" starts a comment"},
        {"[Service]\nPath\n", "\"Path\" has no \"=\""},
        {"[Service]\n=x\n", "no key name"},
        {"[Service\n", "without \"]\""},
        {"[ ]\n", "empty name"},
        {"\xFF\xFE", "UTF-16 or UTF-32 byte-order mark"},
        {"[Service]\nName=a\n\x01\x7F\n", "\"\\x01\\x7F\" has no \"=\""},
    };
    zotest::tScratchDirectory directory;
    for (const tCase& test : cases) {
        const tFileReport report = checkDescriptionFile(directory.add("file.ini", test.text));
        ASSERT_EQ(1u, report.errors.size()) << test.text;
        EXPECT_NE(std::string::npos, report.errors[0].message.find(test.words))
            << report.errors[0].message;
    }
}

TEST(DescriptionFileCheck, WellFormedFileIsAcceptedWithWhatTheServiceReads) {
    zotest::tScratchDirectory directory;
    const std::string path = directory.add("alpha.ini",
                                           "\xEF\xBB\xBF; a comment\r\n"
                                           "  [service]  \r\n"
                                           "NAME = \"alpha\"\r\n"
                                           "Dependencies Line1 = gamma,\r\n"
                                           "Dependencies Line2 = beta\r\n"
                                           "Path=/usr/lib/libalpha.so\r\n"
                                           "Requires=3\r\n"
                                           "Initialize=alphaInit\r\n"
                                           "Stop=\r\n");
    const tFileReport report = checkDescriptionFile(path);
    EXPECT_TRUE(report.accepted);
    EXPECT_EQ(0, report.code);
    EXPECT_EQ(tKinds{}, zotest::kindsAndLines(report.errors));
    EXPECT_EQ(tKinds{}, zotest::kindsAndLines(report.warnings));
    tPluginDescription parsed;
    nPluginData::parseDescriptionFile(path, parsed);
    EXPECT_EQ("alpha", report.description.name);
    EXPECT_EQ((std::vector<std::string>{"beta", "gamma"}), report.description.dependencies);
    EXPECT_EQ(parsed.path, report.description.path);
    EXPECT_EQ(3u, report.description.requires);
    EXPECT_EQ("alphaInit", report.description.initializeSymbol);
}

TEST(DescriptionFileCheck, WarnsAboutWhatTheServiceAcceptsSilently) {
    struct tCase {
        const char* what;
        std::string text;
        tKinds warnings;  // "kind@line", by line
    };
    const std::string head = "[Service]\nName=a\nPath=/x.so\n";
    const std::vector<tCase> cases = {
        {"key before any header", "Name=b\n" + head, {"key-outside-service@1"}},
        {"key in another section", head + "[Services]\nRequires=2\n", {"key-outside-service@5"}},
        {"unknown key", head + "Colour=red\n", {"unknown-key@4"}},
        {"unknown numbered keys", head + "Colour Line1=r\nColour Line2=ed\n", {"unknown-key@4"}},
        {"known numbered keys", head + "Dependencies Line1=b,\nDependencies Line2=c\n", {}},
        {"no name", "[Service]\nPath=/x.so\n", {"missing-name@0"}},
        {"empty name", "[Service]\nName=\nPath=/x.so\n", {"missing-name@2"}},
        {"no path", "[Service]\nName=a\n", {"missing-path@0"}},
        {"no section", "; only a comment\n", {"no-service-section@0"}},
        {"requires 0", head + "Requires=0\n", {"suspicious-requires@4"}},
        {"requires in hexadecimal", head + "Requires=0x10\n", {"suspicious-requires@4"}},
        {"requires in words", head + "Requires=two\n", {"suspicious-requires@4"}},
        {"requires negative", head + "Requires=-1\n", {"suspicious-requires@4"}},
        {"requires with a sign", head + "Requires=+2\n", {"suspicious-requires@4"}},
        {"requires in double quotes", head + "Requires=\"2\"\n", {}},
        {"requires empty", head + "Requires=\n", {}},
        {"single quotes", head + "Initialize='aInit'\n", {"single-quoted-value@4"}},
        {"double quotes", head + "Initialize=\"aInit\"\n", {}},
        {"repeated key", head + "Name=b\n", {"repeated-key@4"}},
        {"repeated across headers",
         head + "[Other]\nx=1\n[SERVICE]\npath=/y.so\n",
         {"key-outside-service@5", "repeated-key@7"}},
        {"bare library name", "[Service]\nName=a\nPath=liba.so\n", {"relative-path@3"}},
        {"relative library path", "[Service]\nName=a\nPath=lib/a.so\n", {"relative-path@3"}},
        {"warnings in line order",
         "Stop=x\n[Service]\nName='a'\nPath=a.so\nName=b\n",
         {"key-outside-service@1", "single-quoted-value@3", "relative-path@4", "repeated-key@5"}},
    };
    zotest::tScratchDirectory directory;
    for (const tCase& test : cases) {
        const tFileReport report = checkDescriptionFile(directory.add("file.ini", test.text));
        EXPECT_TRUE(report.accepted) << test.what;
        EXPECT_EQ(test.warnings, zotest::kindsAndLines(report.warnings)) << test.what;
    }
}

TEST(DescriptionFileCheck, RejectedFileStillGetsItsKeyWarnings) {
    zotest::tScratchDirectory directory;
    const tFileReport report =
        checkDescriptionFile(directory.add("file.ini", "[Service]\nName=a\nColour=red\n\n"));
    EXPECT_FALSE(report.accepted);
    EXPECT_EQ(tKinds{"blank-line@4"}, zotest::kindsAndLines(report.errors));
    EXPECT_EQ(tKinds{"unknown-key@3"}, zotest::kindsAndLines(report.warnings));
}

TEST(DescriptionFileCheck, FileThatCannotBeReadIsRejectedWithTheSystemsText) {
    zotest::tScratchDirectory directory;
    const tFileReport missing = checkDescriptionFile(directory.path + "/missing.ini");
    EXPECT_FALSE(missing.accepted);
    EXPECT_EQ(-22, missing.code);
    ASSERT_EQ(tKinds{"unreadable@0"}, zotest::kindsAndLines(missing.errors));
    EXPECT_NE(std::string::npos, missing.errors[0].message.find("No such file or directory"))
        << missing.errors[0].message;

    zotest::makeDirectories(directory.path + "/sub.ini");
    const tFileReport subdirectory = checkDescriptionFile(directory.path + "/sub.ini");
    EXPECT_FALSE(subdirectory.accepted);
    EXPECT_EQ(tKinds{"not-regular-file@0"}, zotest::kindsAndLines(subdirectory.errors));
}

TEST(DescriptionFileCheck, FifoIsRejectedWithoutWaitingForAWriter) {
    zotest::tScratchDirectory directory;
    const std::string fifo = directory.path + "/fifo.ini";
    zotest::makeFifo(fifo);
    tFileReport report;
    EXPECT_TRUE(zotest::finishesPromptly(fifo, [&] { report = checkDescriptionFile(fifo); }));
    EXPECT_EQ(tKinds{"not-regular-file@0"}, zotest::kindsAndLines(report.errors));
}

TEST(DescriptionFileCheck, NamedFileWithoutIniExtensionIsFlagged) {
    zotest::tScratchDirectory directory;
    const tFileReport report = checkDescriptionFile(directory.add("alpha.ini.bak", kGood));
    EXPECT_TRUE(report.accepted);
    EXPECT_EQ(tKinds{"not-ini-extension@0"}, zotest::kindsAndLines(report.warnings));
}

}  // namespace
