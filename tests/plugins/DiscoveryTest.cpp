// nPluginData::findFilesByExtension: which entries of the plugins directory
// are description files, and how a directory that cannot be listed fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/exception.hpp>
#include <string>
#include <vector>

#include "ini/IniTestSupport.h"
#include "plugins/PluginDiscovery.h"
#include "zoerr/Status.h"

namespace {

std::vector<std::string> listSorted(const std::string& directory) {
    std::vector<std::string> files;
    nPluginData::findFilesByExtension(directory, ".ini", files);
    std::sort(files.begin(), files.end());
    return files;
}

// The code of the zoerr::Exception that listing `directory` raises, or 0.
int32_t listingFailureCode(const std::string& directory, std::string* detail = nullptr) {
    std::vector<std::string> files;
    try {
        nPluginData::findFilesByExtension(directory, ".ini", files);
    } catch (const zoerr::Exception& error) {
        if (detail != nullptr) {
            *detail = error.what();
        }
        return error.status.code;
    }
    return 0;
}

TEST(Discovery, ListsRegularFilesWhoseExtensionIsExactlyDotIni) {
    IniScratchDirectory scratch;
    const std::string plugins = scratch.pathOf("plugins");
    mkdir(plugins.c_str(), 0700);
    for (const char* name :
         {"a.ini", "A.INI", "a.Ini", "a.tar.ini", "a.ini.bak", "a.ini~", "ini", "a.ini ", ".ini"}) {
        scratch.write(std::string("plugins/") + name, "[Service]\n");
    }
    mkdir(scratch.pathOf("plugins/sub.ini").c_str(), 0700);
    scratch.write("plugins/sub.ini/b.ini", "[Service]\n");
    symlink(scratch.write("elsewhere", "[Service]\n").c_str(), (plugins + "/c.ini").c_str());
    symlink(scratch.pathOf("nowhere").c_str(), (plugins + "/d.ini").c_str());
    symlink(scratch.pathOf("plugins/sub.ini").c_str(), (plugins + "/f.ini").c_str());

    const std::vector<std::string> expected = {plugins + "/.ini", plugins + "/a.ini",
                                               plugins + "/a.tar.ini", plugins + "/c.ini"};
    EXPECT_EQ(expected, listSorted(plugins));
}

TEST(Discovery, AnEmptyDirectoryGivesNothingAndTheListIsOnlyAppendedTo) {
    IniScratchDirectory scratch;
    mkdir(scratch.pathOf("plugins").c_str(), 0700);
    std::vector<std::string> files = {"kept"};
    nPluginData::findFilesByExtension(scratch.pathOf("plugins"), ".ini", files);
    EXPECT_EQ(std::vector<std::string>{"kept"}, files);
    scratch.write("plugins/a.ini", "");
    nPluginData::findFilesByExtension(scratch.pathOf("plugins"), ".ini", files);
    EXPECT_EQ((std::vector<std::string>{"kept", scratch.pathOf("plugins/a.ini")}), files);
}

TEST(Discovery, MissingOrNonDirectoryPluginsPathRaisesSoftwareFault) {
    IniScratchDirectory scratch;
    scratch.write("file", "");
    symlink(scratch.pathOf("nowhere").c_str(), scratch.pathOf("dangling").c_str());
    symlink(scratch.pathOf("file").c_str(), scratch.pathOf("link-to-file").c_str());
    for (const char* name : {"missing", "file", "dangling", "link-to-file", "file/below"}) {
        std::string detail;
        EXPECT_EQ(-52003, listingFailureCode(scratch.pathOf(name), &detail)) << name;
        EXPECT_NE(std::string::npos,
                  detail.find("\"error_constant\":\"zoqelerr_softwareFaultQELInternalUseOnly\","
                              "\"file\":\"source/PluginDiscovery.cpp\""))
            << detail;
    }
}

// Failures other than "not there" are the file-system library's own errors,
// not zoerr ones: the run cycle reports them all the same.
TEST(Discovery, OtherFileSystemFailuresAreFilesystemErrors) {
    IniScratchDirectory scratch;
    symlink("loop", scratch.pathOf("loop").c_str());
    mkdir(scratch.pathOf("plugins").c_str(), 0700);
    scratch.write("plugins/a.ini", "");
    symlink("e.ini", scratch.pathOf("plugins/e.ini").c_str());
    const std::string tooLong = scratch.pathOf(std::string(300, 'n'));
    for (const std::string& directory :
         {scratch.pathOf("loop"), tooLong, scratch.pathOf("plugins")}) {
        std::vector<std::string> files;
        EXPECT_THROW(nPluginData::findFilesByExtension(directory, ".ini", files),
                     boost::filesystem::filesystem_error)
            << directory;
    }
}

}  // namespace
