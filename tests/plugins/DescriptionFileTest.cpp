// nPluginData::parseDescriptionFile: what each key becomes, and which files
// are rejected whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "safety/FileIdentity.h"
#include "ini/IniFile.h"
#include "ini/IniTestSupport.h"
#include "plugins/PluginDescriptionFile.h"
#include "zoerr/Status.h"

namespace {

// One line per description: name|dependencies|requires|path|init|stop|cleanup.
std::string render(const tPluginDescription& d) {
    std::string dependencies;
    for (const std::string& name : d.dependencies) {
        dependencies += (dependencies.empty() ? "" : ",") + name;
    }
    return d.name + "|" + dependencies + "|" + std::to_string(d.requires) + "|" + d.path + "|" +
           d.initializeSymbol + "|" + d.stopSymbol + "|" + d.cleanupSymbol;
}

const char kDefaults[] = "||1||||";

class DescriptionFile : public ::testing::Test {
  protected:
    std::string parse(const std::string& text) {
        tPluginDescription description;
        nPluginData::parseDescriptionFile(scratch.write("plugin.ini", text), description);
        return render(description);
    }

    // The description of a file holding [Service] and `line`.
    tPluginDescription parseServiceLine(const std::string& line) {
        tPluginDescription description;
        nPluginData::parseDescriptionFile(scratch.write("plugin.ini", "[Service]\n" + line + "\n"),
                                          description);
        return description;
    }

    // The code raised for `path`, with the detail in `detail`; also checks
    // that the output record was left as it was.
    int32_t failureCode(const std::string& path, std::string& detail) {
        tPluginDescription description;
        description.name = "before";
        description.dependencies = {"x"};
        description.requires = 9;
        const std::string before = render(description);
        try {
            nPluginData::parseDescriptionFile(path, description);
        } catch (const zoerr::Exception& error) {
            detail = error.what();
            EXPECT_EQ(before, render(description));
            return error.status.code;
        }
        return 0;
    }

    int32_t failureCodeOf(const std::string& text, std::string& detail) {
        return failureCode(scratch.write("plugin.ini", text), detail);
    }

    IniScratchDirectory scratch;
};

TEST_F(DescriptionFile, ReadsEveryKeyOfTheServiceSection) {
    EXPECT_EQ(
        "alpha|beta,gamma|1|/usr/local/lib/libalpha.so|alphaInitialize|alphaStop|alphaCleanup",
        parse("[Service]\nName=alpha\nDependencies=beta, gamma\n"
              "Path=/usr/local/lib/libalpha.so\nRequires=1\nInitialize=alphaInitialize\n"
              "Stop=alphaStop\nCleanup=alphaCleanup\n"));
}

TEST_F(DescriptionFile, AbsentKeysAndOtherSectionsGiveTheDefaults) {
    const char* texts[] = {
        "",
        "[Service]\n",
        "; only a comment\n",
        "[Other]\nName=alpha\nPath=libalpha.so\n",
        "Name=before-any-section\n[Service]\n",
        "[Service]\nUnknown=1\n[Other]\nName=alpha\n",
        "[Service]\nName=\nDependencies=\nRequires=\nPath=\nInitialize=\nStop=\nCleanup=\n",
    };
    for (const char* text : texts) {
        EXPECT_EQ(kDefaults, parse(text)) << text;
    }
}

TEST_F(DescriptionFile, RequiresIsAnUnsignedDecimalPrefix) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"", 1},
        {"0", 0},
        {"2", 2},
        {"+7", 7},
        {"3abc", 3},
        {"abc", 0},
        {"0x10", 0},
        {"-1", 4294967295u},
        {"4294967295", 4294967295u},
        {"  12", 12},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, parseServiceLine(std::string("Requires=") + c.first).requires)
            << c.first;
    }
}

TEST_F(DescriptionFile, DependenciesAreTrimmedSortedAndKeepDuplicates) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"gamma, alpha,,beta,", {"alpha", "beta", "gamma"}},
        {"b, B, a b", {"B", "a b", "b"}},
        {"x, x", {"x", "x"}},
        {" , ,\t,", {}},
        {"solo", {"solo"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, parseServiceLine(std::string("Dependencies=") + c.first).dependencies)
            << c.first;
    }
}

TEST_F(DescriptionFile, OneErrorLineAnywhereRejectsTheWholeFile) {
    const char* texts[] = {
        "[Service]\nName=alpha\n\n",
        "[Service]\n\nName=alpha\n",
        "[Service]\nName=alpha\n   \n",
        "[Service]\n# note\nName=alpha\n",
        "[Service]\nName=alpha\n[Other]\nnot a key line\n",
        "no section yet\n[Service]\nName=alpha\n",
        "[Service]\r\nName=alpha\r\n\r\n",
        "[Service]\nName=alpha\n[]\n",
    };
    for (const char* text : texts) {
        std::string detail;
        EXPECT_EQ(-52005, failureCodeOf(text, detail)) << text;
        EXPECT_NE(std::string::npos,
                  detail.find("{\"error_constant\":\"zoqelerr_invalidParameter\",\"file\":\"source/"
                              "PluginDescriptionFile.cpp\""))
            << detail;
    }
}

TEST_F(DescriptionFile, OneLineBreakEndingTheLastLineIsFine) {
    for (const char* text :
         {"[Service]\nName=alpha", "[Service]\nName=alpha\n", "[Service]\r\nName=alpha\r\n"}) {
        EXPECT_EQ("alpha||1||||", parse(text)) << text;
    }
}

TEST_F(DescriptionFile, LaterValuesWinAndARepeatedHeaderContinuesTheSection) {
    EXPECT_EQ("second||1||||", parse("[Service]\nName=first\nName=second\n"));
    EXPECT_EQ("beta||1|libalpha.so|||",
              parse("[Service]\nName=alpha\nPath=libalpha.so\n[Other]\nName=other\n"
                    "[Service]\nName=beta\n"));
}

TEST_F(DescriptionFile, DoubleQuotesAreStrippedSingleQuotesKept) {
    EXPECT_EQ("alpha||1||||", parse("[Service]\nName=\"alpha\"\n"));
    EXPECT_EQ("'alpha'||1||||", parse("[Service]\nName='alpha'\n"));
}

TEST_F(DescriptionFile, SectionAndKeyNamesIgnoreCase) {
    EXPECT_EQ("alpha||1|libalpha.so|||", parse("[service]\nNAME=alpha\npath=libalpha.so\n"));
}

TEST_F(DescriptionFile, NumberedDependencyLinesAreJoinedFirst) {
    EXPECT_EQ("|alpha,beta|1||||",
              parse("[Service]\nDependencies Line1=alpha,\nDependencies Line2=beta\n"));
    EXPECT_EQ("|alphabeta|1||||",
              parse("[Service]\nDependencies Line1=alpha\nDependencies Line2=beta\n"));
}

TEST_F(DescriptionFile, MissingFileRaisesTheReadersOwnCodeAsResult) {
    std::string detail;
    EXPECT_EQ(-22, failureCode(scratch.pathOf("missing.ini"), detail));
    EXPECT_NE(std::string::npos, detail.find("{\"error_constant\":\"result\",")) << detail;
}

}  // namespace

namespace {

// The outcome of one way of reading `path`: its description, or the code raised.
template <typename Read>
std::string outcomeOf(Read read) {
    tPluginDescription description;
    try {
        read(description);
    } catch (const zoerr::Exception& error) {
        return "code " + std::to_string(error.status.code);
    }
    return render(description);
}

}  // namespace

// The service reads a description once, from memory, where the checker and
// the tools parse the file itself: both must come to the same description,
// or to the same code, for every kind of text.
TEST_F(DescriptionFile, TheServicesSingleReadParsesAsTheFileDoes) {
    const std::vector<std::string> texts = {
        "",
        "[Service]\nName=A\nPath=/a.so\nRequires=3\nDependencies=b, a\n",
        "\xEF\xBB\xBF[Service]\r\nName=Marked\r\n",
        "\xFF\xFE[\0S\0",
        "[Service]\nName=NoEnd",
        "[Service]\nbad line\n",
        "[Service]\nName=\"quoted\"\n" + std::string(5000, '#') + "\nPath=long\n",
        "[service]\nname = spaced \n[Other]\nName=other\n",
    };
    for (const std::string& text : texts) {
        const std::string path = scratch.write("plugin.ini", text);
        const std::string fromFile =
            outcomeOf([&](tPluginDescription& d) { nPluginData::parseDescriptionFile(path, d); });
        tPathSafety pathSafety;
        tPluginDescription read;
        const std::string once = outcomeOf([&](tPluginDescription& d) {
            EXPECT_TRUE(nPluginData::readDescriptionFile(pathSafety, path, d).safe());
            read = d;
        });
        EXPECT_EQ(fromFile, once) << text;
        if (once.rfind("code ", 0) != 0) {
            EXPECT_EQ(path, read.file);
            EXPECT_EQ(fingerprintBytes(text.data(), text.size()), read.fileFingerprint);
        }
    }
}

TEST_F(DescriptionFile, WhatIsNoRegularFileIsNeverWaitedOn) {
    const std::string fifo = scratch.pathOf("fifo.ini");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    tPathSafety pathSafety;
    const auto readOnce = [&](const std::string& path) {
        return outcomeOf([&](tPluginDescription& d) {
            (void)nPluginData::readDescriptionFile(pathSafety, path, d);
        });
    };
    EXPECT_EQ("code " + std::to_string(kIniResultCannotOpen), readOnce(fifo));
    EXPECT_EQ("code " + std::to_string(kIniResultFileMissing),
              readOnce(scratch.pathOf("missing.ini")));
}
