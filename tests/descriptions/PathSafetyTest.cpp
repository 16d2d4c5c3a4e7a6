// The rule that decides which files root may trust: the owner, the group and
// other write bits and the sticky bit of the file and of every directory from
// / down to it, links followed on the way, and verdicts kept for one pass.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "PathSafety.h"
#include "support/ServiceProcess.h"

namespace {

// A uid that no account on a test machine has: "another user".
constexpr uid_t kStranger = 12345;

enum class tRunsAs { anyone, root, notRoot };

bool runsAs(tRunsAs who) {
    return who == tRunsAs::anyone || (who == tRunsAs::root) == (geteuid() == 0);
}

class PathSafetyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = std::string(ZO_TEST_BINARY_DIR) + "/pathsafety." + std::to_string(getpid());
        zotest::removeTree(scratch);
        makeDirectory("", 0755);
        ASSERT_EQ("", tPathSafety().check(scratch).reason()) << "the build tree itself";
    }
    void TearDown() override { zotest::removeTree(scratch); }

    std::string pathOf(const std::string& name) const {
        return name.empty() ? scratch : scratch + "/" + name;
    }
    // chmod(2) after creating: the umask does not decide the mode.
    void makeDirectory(const std::string& name, mode_t mode) const {
        ASSERT_EQ(0, mkdir(pathOf(name).c_str(), 0700)) << name;
        ASSERT_EQ(0, chmod(pathOf(name).c_str(), mode)) << name;
    }
    void makeFile(const std::string& name, mode_t mode) const {
        zotest::writeFile(pathOf(name), "[Service]\n");
        ASSERT_EQ(0, chmod(pathOf(name).c_str(), mode)) << name;
    }
    void makeLink(const std::string& name, const std::string& target) const {
        ASSERT_EQ(0, symlink(target.c_str(), pathOf(name).c_str())) << name;
    }
    void giveToStranger(const std::string& name) const {
        ASSERT_EQ(0, lchown(pathOf(name).c_str(), kStranger, static_cast<gid_t>(-1))) << name;
    }
    // The verdict's reason with the scratch directory shown as "<s>".
    std::string reasonFor(const std::string& name) const {
        std::string reason = tPathSafety().check(pathOf(name)).reason();
        for (size_t at; (at = reason.find(scratch)) != std::string::npos;) {
            reason.replace(at, scratch.size(), "<s>");
        }
        return reason;
    }

    struct tCase {
        const char* what;
        std::function<void()> arrange;
        const char* checked;
        const char* reason;  // "" when safe
        tRunsAs runs = tRunsAs::anyone;
    };

    void runCases(const std::vector<tCase>& cases) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const tCase& test = cases[i];
            if (!runsAs(test.runs)) {
                continue;
            }
            TearDown();
            SetUp();
            test.arrange();
            EXPECT_EQ(test.reason, reasonFor(test.checked)) << test.what;
        }
    }

    std::string scratch;
};

TEST_F(PathSafetyTest, OwnersAndWriteBitsOfTheFileAndEveryDirectoryAboveIt) {
    const auto safeTree = [this](mode_t directory, mode_t file) {
        makeDirectory("d", directory);
        makeFile("d/f", file);
    };
    runCases({
        {"safe file", [&] { safeTree(0755, 0644); }, "d/f", ""},
        {"file and directory only their owner may read", [&] { safeTree(0700, 0600); }, "d/f", ""},
        {"file writable by its group", [&] { safeTree(0755, 0664); }, "d/f",
         "<s>/d/f is writable by its group (mode 0664)"},
        {"file writable by others", [&] { safeTree(0755, 0646); }, "d/f",
         "<s>/d/f is writable by others (mode 0646)"},
        {"file writable by everyone", [&] { safeTree(0755, 0666); }, "d/f",
         "<s>/d/f is writable by others (mode 0666)"},
        {"directory writable by its group", [&] { safeTree(0775, 0644); }, "d/f",
         "<s>/d is writable by its group (mode 0775)"},
        {"directory writable by others", [&] { safeTree(0777, 0644); }, "d/f",
         "<s>/d is writable by others (mode 0777)"},
        {"the fault nearest to / is named",
         [&] {
             makeDirectory("d", 0777);
             makeDirectory("d/e", 0777);
             makeFile("d/e/f", 0666);
         },
         "d/e/f", "<s>/d is writable by others (mode 0777)"},
        {"root's sticky directory", [&] { safeTree(01777, 0644); }, "d/f", "", tRunsAs::root},
        {"root's sticky directory writable by its group", [&] { safeTree(01770, 0644); }, "d/f", "",
         tRunsAs::root},
        {"a sticky directory counts only when root owns it", [&] { safeTree(01777, 0644); }, "d/f",
         "<s>/d is writable by others (mode 1777)", tRunsAs::notRoot},
        {"file of another user",
         [&] {
             safeTree(0755, 0644);
             giveToStranger("d/f");
         },
         "d/f", "<s>/d/f is owned by uid 12345", tRunsAs::root},
        {"directory of another user",
         [&] {
             safeTree(0755, 0644);
             giveToStranger("d");
         },
         "d/f", "<s>/d is owned by uid 12345", tRunsAs::root},
        {"sticky directory of another user",
         [&] {
             safeTree(01777, 0644);
             giveToStranger("d");
         },
         "d/f", "<s>/d is owned by uid 12345", tRunsAs::root},
        {"missing file under safe directories", [&] { makeDirectory("d", 0755); }, "d/missing", ""},
        {"missing directory on the way", [&] { makeDirectory("d", 0755); }, "d/missing/f", ""},
        {"missing file under a directory others may write", [&] { makeDirectory("d", 0777); },
         "d/missing", "<s>/d is writable by others (mode 0777)"},
        {"a file where a directory should be", [&] { safeTree(0755, 0644); }, "d/f/g", ""},
    });
}

TEST_F(PathSafetyTest, LinksAreFollowedAndEveryDirectoryOnTheWayCounts) {
    // d holds the links; e holds the file they lead to.
    const auto tree = [this](mode_t holder, mode_t target, mode_t file) {
        makeDirectory("d", holder);
        makeDirectory("e", target);
        makeDirectory("e/sub", 0755);
        makeFile("e/f", file);
    };
    runCases({
        {"relative link to a safe file",
         [&] {
             tree(0755, 0755, 0644);
             makeLink("d/l", "../e/f");
         },
         "d/l", ""},
        {"absolute link to a safe file",
         [&] {
             tree(0755, 0755, 0644);
             makeLink("d/l", pathOf("e/f"));
         },
         "d/l", ""},
        {"link to a file in a directory others may write",
         [&] {
             tree(0755, 0777, 0644);
             makeLink("d/l", "../e/f");
         },
         "d/l", "<s>/e is writable by others (mode 0777)"},
        {"link to a file others may write",
         [&] {
             tree(0755, 0755, 0666);
             makeLink("d/l", "../e/f");
         },
         "d/l", "<s>/e/f is writable by others (mode 0666)"},
        {"link in a directory others may write, to a safe file",
         [&] {
             tree(0777, 0755, 0644);
             makeLink("d/l", "../e/f");
         },
         "d/l", "<s>/d is writable by others (mode 0777)"},
        {"link to a directory on the way",
         [&] {
             tree(0755, 0775, 0644);
             makeLink("d/dir", "../e");
         },
         "d/dir/f", "<s>/e is writable by its group (mode 0775)"},
        {"\"..\" after a link leads up from where the link points",
         [&] {
             tree(0755, 0755, 0666);
             makeLink("d/dir", "../e/sub");
         },
         "d/dir/../f", "<s>/e/f is writable by others (mode 0666)"},
        {"link owned by another user",
         [&] {
             tree(0755, 0755, 0644);
             makeLink("d/l", "../e/f");
             giveToStranger("d/l");
         },
         "d/l", "<s>/d/l is owned by uid 12345", tRunsAs::root},
        {"dangling link in a safe directory",
         [&] {
             tree(0755, 0755, 0644);
             makeLink("d/l", "../e/missing");
         },
         "d/l", ""},
        {"loop of links",
         [&] {
             tree(0755, 0755, 0644);
             makeLink("d/l", "l");
         },
         "d/l", "<s>/d/l cannot be examined: Too many levels of symbolic links"},
    });
}

TEST_F(PathSafetyTest, RelativePathsAreJudgedWithTheWorkingDirectorysChain) {
    makeDirectory("d", 0777);
    makeFile("d/f", 0644);
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
    ASSERT_EQ(0, chdir(pathOf("d").c_str()));
    tPathSafety pathSafety;
    const std::string reason = pathSafety.check("f").reason();
    const std::string libraryReason = pathSafety.checkLibrary("./f").reason();
    const bool bareNameSafe = pathSafety.checkLibrary("f").safe();
    ASSERT_EQ(0, chdir(saved));
    EXPECT_EQ(pathOf("d") + " is writable by others (mode 0777)", reason);
    EXPECT_EQ(reason, libraryReason);
    EXPECT_TRUE(bareNameSafe) << "a bare name is the loader's search, not a path";
}

TEST_F(PathSafetyTest, DirectoryVerdictsLastForOnePassAndFileVerdictsNever) {
    makeDirectory("d", 0755);
    makeFile("d/f", 0644);
    makeFile("d/g", 0644);
    tPathSafety pass;
    ASSERT_TRUE(pass.check(pathOf("d/f")).safe());
    ASSERT_EQ(0, chmod(pathOf("d").c_str(), 0777));
    ASSERT_EQ(0, chmod(pathOf("d/f").c_str(), 0666));
    EXPECT_TRUE(pass.check(pathOf("d/g")).safe()) << "the directory was judged once this pass";
    EXPECT_EQ(pathOf("d/f") + " is writable by others (mode 0666)",
              pass.check(pathOf("d/f")).reason());
    EXPECT_EQ(pathOf("d") + " is writable by others (mode 0777)",
              tPathSafety().check(pathOf("d/g")).reason())
        << "a new pass judges anew";
}

}  // namespace
