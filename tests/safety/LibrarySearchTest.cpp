// The judging of a plugin's library together with what the loader would map
// with it: run paths with $ORIGIN, needed libraries, empty and relative
// run-path entries (each named the way the loader was handed it), bare names found through
// LD_LIBRARY_PATH, and the loader's cache.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "safety/LoaderCache.h"
#include "safety/PathSafety.h"
#include "support/SafetyRun.h"
#include "support/ServiceProcess.h"

namespace {

const std::string kNeedyPlugin = ZO_TEST_PLUGIN_needy;
const std::string kWaywardPlugin = ZO_TEST_PLUGIN_wayward;
const std::string kAimlessPlugin = ZO_TEST_PLUGIN_aimless;
const std::string kNeededLibrary = ZO_TEST_NEEDED_LIBRARY;

class LibrarySearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = std::string(ZO_TEST_BINARY_DIR) + "/librarysearch." + std::to_string(getpid());
        zotest::removeTree(scratch);
        zotest::makeDirectory(scratch, 0755);
    }
    void TearDown() override {
        unsetenv("LD_LIBRARY_PATH");
        zotest::removeTree(scratch);
    }

    // needy in <scratch>/<name>, and its needed library in the directory
    // its run path names, $ORIGIN/needed.
    std::string layNeedy(const std::string& name) const {
        const std::string directory = scratch + "/" + name;
        zotest::makeDirectory(directory + "/needed", 0755);
        zotest::copyLibrary(kNeedyPlugin, directory + "/needy.so");
        zotest::copyLibrary(kNeededLibrary, directory + "/needed/libzo_test_needed.so");
        return directory;
    }

    // The verdict's reason with the scratch directory shown as "<s>".
    std::string reasonFor(const std::string& path, std::string* loaderName = nullptr) const {
        std::string name;
        std::string reason = tPathSafety().checkLibrary(path, name).reason();
        for (size_t at; (at = reason.find(scratch)) != std::string::npos;) {
            reason.replace(at, scratch.size(), "<s>");
        }
        if (loaderName != nullptr) {
            *loaderName = name;
        }
        return reason;
    }

    std::string scratch;
};

TEST_F(LibrarySearchTest, NeededLibrariesAndRunPathsAreJudgedByTheSameRule) {
    const std::string safe = layNeedy("safe");
    const std::string missing = layNeedy("missing");
    zotest::removeTree(missing + "/needed");
    const std::string open = layNeedy("open");
    zotest::setMode(open + "/needed", 0777);
    const std::string group = layNeedy("group");
    zotest::setMode(group + "/needed/libzo_test_needed.so", 0775);
    zotest::copyLibrary(kWaywardPlugin, scratch + "/wayward.so");
    zotest::copyLibrary(kAimlessPlugin, scratch + "/aimless.so");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {safe + "/needy.so", ""},
        // The loader finds nothing there: it fails, and no code runs.
        {missing + "/needy.so", ""},
        {open + "/needy.so",
         "<s>/open/needed is writable by others (mode 0777) (in the run path of "
         "<s>/open/needy.so)"},
        {group + "/needy.so",
         "<s>/group/needed/libzo_test_needed.so is writable by its group (mode 0775) "
         "(needed by <s>/group/needy.so)"},
        {scratch + "/wayward.so",
         "<s>/wayward.so searches the relative directory \"relative/lib\" for the libraries "
         "it needs"},
        {scratch + "/aimless.so",
         "<s>/aimless.so searches the working directory (an empty entry) for the libraries it "
         "needs"},
    };
    for (const auto& [library, reason] : cases) {
        std::string loaderName;
        EXPECT_EQ(reason, reasonFor(library, &loaderName)) << library;
        EXPECT_EQ(library, loaderName);
    }
}

TEST_F(LibrarySearchTest, BareNamesAreFoundAsTheLoaderWouldFindThem) {
    zotest::makeDirectory(scratch + "/open", 0777);
    zotest::copyLibrary(kNeededLibrary, scratch + "/open/libzo_bare.so");
    zotest::makeDirectory(scratch + "/lib", 0755);
    zotest::copyLibrary(kNeededLibrary, scratch + "/lib/libzo_bare.so");
    std::string loaderName;
    EXPECT_EQ("", reasonFor("libzo_bare.so", &loaderName)) << "found nowhere: the loader fails";
    EXPECT_EQ("libzo_bare.so", loaderName);
    EXPECT_EQ("", reasonFor("libc.so.6")) << "already loaded";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {scratch + "/lib", ""},
        {scratch + "/open", "<s>/open is writable by others (mode 0777)"},
        {scratch + "/lib:" + scratch + "/open", ""},
        {":" + scratch + "/lib",
         "LD_LIBRARY_PATH searches the working directory (an empty entry) for the libraries it "
         "needs"},
        {"relative",
         "LD_LIBRARY_PATH searches the relative directory \"relative\" for the "
         "libraries it needs"},
    };
    for (const auto& [libraryPath, reason] : cases) {
        setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
        EXPECT_EQ(reason, reasonFor("libzo_bare.so")) << libraryPath;
    }
}

TEST(LoaderCache, FindsEveryEntryOfTheNameForThisKindOfProcess) {
    std::string cache = zotest::readFile(kLoaderCacheFile);
    std::vector<std::string> paths;
    ASSERT_TRUE(findInLoaderCache(cache, "libc.so.6", paths));
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(0, access(paths.front().c_str(), R_OK)) << paths.front();
    paths.clear();
    EXPECT_TRUE(findInLoaderCache(cache, "libzo_no_such_name.so", paths));
    EXPECT_TRUE(paths.empty());
    for (const size_t cut : {size_t{0}, size_t{10}, size_t{47}}) {
        EXPECT_FALSE(findInLoaderCache(cache.substr(0, cut), "libc.so.6", paths)) << cut;
    }
}

}  // namespace
