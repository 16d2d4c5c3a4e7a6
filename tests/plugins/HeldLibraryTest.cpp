// Whether the loader holds an old copy of a replaced library: asked of a
// library in a plain directory and on overlayfs, where a container's files
// live and where the maps and stat() name one file by different devices.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/HeldLibrary.h"
#include "support/ServiceProcess.h"
#include "support/TestPlugins.h"

namespace {

using zotest::plugins::kAlphaPlugin;

// A copy of the alpha plugin at `path`, put there by a rename as an
// administrator installs a new version.
void installAlpha(const std::string& path) {
    const std::string staged = path + ".new";
    zotest::writeFile(staged, zotest::readFile(kAlphaPlugin));
    ASSERT_EQ(0, chmod(staged.c_str(), 0755));
    ASSERT_EQ(0, rename(staged.c_str(), path.c_str()));
}

// Loads a library in `directory`, then replaces its file.
void expectTheReplacementSeen(const std::string& directory) {
    const std::string library = directory + "/held.so";
    installAlpha(library);
    EXPECT_FALSE(loaderHoldsReplacedCopy(library)) << "nothing loaded yet";
    void* const handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << dlerror();
    EXPECT_FALSE(loaderHoldsReplacedCopy(library)) << "the file loaded is the file there";
    installAlpha(library);
    EXPECT_TRUE(loaderHoldsReplacedCopy(library)) << "the file loaded was replaced";
    dlclose(handle);
    EXPECT_FALSE(loaderHoldsReplacedCopy(library)) << "unloaded";
}

class HeldLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        zotest::removeTree(scratch);
        zotest::makeDirectories(scratch);
        // The loader's judge loads only what nobody but root could change.
        ASSERT_EQ(0, chmod(scratch.c_str(), 0755));
    }
    void TearDown() override {
        for (auto mount = mounted.rbegin(); mount != mounted.rend(); ++mount) {
            umount2(mount->c_str(), MNT_DETACH);
        }
        zotest::removeTree(scratch);
    }
    const std::string scratch =
        std::string(ZO_TEST_BINARY_DIR) + "/held-library." + std::to_string(getpid());
    std::vector<std::string> mounted;
};

TEST_F(HeldLibrary, AReplacedFileIsToldFromTheOneLoadedInAPlainDirectory) {
    expectTheReplacementSeen(scratch);
}

// Its layers on two file systems, as a container's (the image below, a
// tmpfs above): then stat() names files by the overlay's own device.
TEST_F(HeldLibrary, AReplacedFileIsToldFromTheOneLoadedOnOverlayfs) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting overlayfs needs root";
    }
    for (const char* part : {"/lower", "/layer", "/merged"}) {
        zotest::makeDirectories(scratch + part);
        ASSERT_EQ(0, chmod((scratch + part).c_str(), 0755));
    }
    const std::string layer = scratch + "/layer";
    if (mount("tmpfs", layer.c_str(), "tmpfs", 0, "size=16m,mode=0755") != 0) {
        GTEST_SKIP() << "a tmpfs cannot be mounted here: " << strerror(errno);
    }
    mounted.push_back(layer);
    zotest::makeDirectories(layer + "/upper");
    zotest::makeDirectories(layer + "/work");
    const std::string options =
        "lowerdir=" + scratch + "/lower,upperdir=" + layer + "/upper,workdir=" + layer + "/work";
    const std::string merged = scratch + "/merged";
    if (mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0) {
        GTEST_SKIP() << "overlayfs cannot be mounted here: " << strerror(errno);
    }
    mounted.push_back(merged);
    ASSERT_EQ(0, chmod(merged.c_str(), 0755));
    expectTheReplacementSeen(merged);
}

}  // namespace
