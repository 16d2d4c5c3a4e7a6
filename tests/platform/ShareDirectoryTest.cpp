// The shared-data directory from the test variant's pointer file, and the
// plugins directory that discovery derives from it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/DescriptionsTestSupport.h"
#include "plugins/PluginDiscovery.h"
#include "support/ServiceProcess.h"
#include "zosysq/stdpath.h"

namespace {

class ShareDirectory : public ::testing::Test {
  protected:
    // The directory readShareDirectory gives; it must never report.
    std::string shareDirectory() {
        std::string out = "untouched";
        zoerr::Status status;
        zosysq::readShareDirectory(out, status);
        EXPECT_EQ(0, status.code);
        return out;
    }

    void removePointerFile() { zotest::removeTree(root.pointerFile()); }

    zotest::TestRoot root;
};

TEST_F(ShareDirectory, PointerFileTextIsTrimmedAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"/opt/data/share/\n", "/opt/data/share"},
        {"  /srv/x//  \n", "/srv/x"},
        {"", ""},
        {"/first\n/second\n", "/first\n/second"},
        {"\t/with space/ \r\n", "/with space"},
        {std::string("/nul\0\0", 6), "/nul"},
        {"///\n", ""},
    };
    for (const auto& c : cases) {
        zotest::writeFile(root.pointerFile(), c.first);
        EXPECT_EQ(c.second, shareDirectory()) << c.first;
    }
}

TEST_F(ShareDirectory, NoPointerFileGivesTheDefault) {
    removePointerFile();
    EXPECT_EQ(root.defaultShareDirectory(), shareDirectory());
}

// None of these is opened, so none can hang the service or make it
// allocate what a device claims to hold.
TEST_F(ShareDirectory, PointerPathThatIsNoRegularFileGivesTheDefault) {
    const std::string pointer = root.pointerFile();
    const std::vector<std::function<void()>> makers = {
        [&] { zotest::makeDirectories(pointer); },
        [&] { zotest::makeFifo(pointer); },
        [&] { symlink("/dev/zero", pointer.c_str()); },
        [&] { symlink("/dev/null", pointer.c_str()); },
        [&] { symlink(pointer.c_str(), pointer.c_str()); },
    };
    for (size_t i = 0; i < makers.size(); ++i) {
        removePointerFile();
        makers[i]();
        std::string directory;
        ASSERT_TRUE(zotest::finishesPromptly(pointer, [&] { directory = shareDirectory(); }))
            << "case " << i;
        EXPECT_EQ(root.defaultShareDirectory(), directory) << "case " << i;
    }
}

TEST_F(ShareDirectory, AnErrorAlreadyHeldLeavesTheOutputUntouched) {
    std::string out = "untouched";
    zoerr::Status status;
    status.setCode(-5);
    zosysq::readShareDirectory(out, status);
    EXPECT_EQ("untouched", out);
    EXPECT_EQ(-5, status.code);
}

TEST_F(ShareDirectory, GetShareDirectoryDoesNotThrowForAnUnreadablePointer) {
    removePointerFile();
    std::string out;
    EXPECT_NO_THROW(zosysq::getShareDirectory(out));
    EXPECT_EQ(root.defaultShareDirectory(), out);
}

TEST_F(ShareDirectory, PluginsDirectoryIsJoinedWithoutDoubledSeparators) {
    root.addDescription("alpha.ini", "[Service]\n");
    for (const char* suffix : {"\n", "/\n", "//\n"}) {
        zotest::writeFile(root.pointerFile(), root.shareDirectory() + suffix);
        std::vector<std::string> files;
        nPluginData::getDescriptionFiles(files);
        EXPECT_EQ(std::vector<std::string>{root.pluginsDirectory() + "/alpha.ini"}, files);
    }
}

TEST_F(ShareDirectory, EmptyShareDirectoryMakesThePluginsDirectoryRelative) {
    root.addDescription("alpha.ini", "[Service]\n");
    zotest::writeFile(root.pointerFile(), "\n");
    char previous[4096];
    ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
    ASSERT_EQ(0, chdir(root.shareDirectory().c_str()));
    std::vector<std::string> files;
    nPluginData::getDescriptionFiles(files);
    ASSERT_EQ(0, chdir(previous));
    EXPECT_EQ(std::vector<std::string>{"KorvoRemoteService/plugins/alpha.ini"}, files);
}

}  // namespace
