// The rule that decides which files root may trust: the owner, the group and
// other write bits and the sticky bit of the file and of every directory from
// / down to it, links followed on the way, and verdicts kept for one pass.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "safety/PathSafety.h"
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

    // The number of a descriptor of this process that leads to `directory`.
    static int keptDescriptorOf(const std::string& directory) {
        for (int descriptor = 3; descriptor < 1024; ++descriptor) {
            char target[PATH_MAX];
            const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length > 0 && std::string(target, static_cast<size_t>(length)) == directory) {
                return descriptor;
            }
        }
        return -1;
    }
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

    // One tree per case: d/f and e/f, e/sub, and at most one link; "<s>" in
    // a link's target stands for the scratch directory.
    struct tCase {
        const char* what;
        mode_t d, f, e, ef;    // the modes of d, d/f, e and e/f
        const char* link;      // the link's name, or ""
        const char* target;    // what it points at
        const char* stranger;  // what uid 12345 is given, or ""
        const char* checked;
        const char* reason;  // "" when safe
        tRunsAs runs = tRunsAs::anyone;
    };

    void arrange(const tCase& test) {
        makeDirectory("d", test.d);
        makeFile("d/f", test.f);
        makeDirectory("e", test.e);
        makeFile("e/f", test.ef);
        makeDirectory("e/sub", 0755);
        if (*test.link != '\0') {
            std::string target = test.target;
            if (target.rfind("<s>", 0) == 0) {
                target.replace(0, 3, scratch);
            }
            makeLink(test.link, target);
        }
        if (*test.stranger != '\0') {
            giveToStranger(test.stranger);
        }
    }

    void runCases(const std::vector<tCase>& cases) {
        for (const tCase& test : cases) {
            if (!runsAs(test.runs)) {
                continue;
            }
            TearDown();
            SetUp();
            arrange(test);
            EXPECT_EQ(test.reason, reasonFor(test.checked)) << test.what;
        }
    }

    std::string scratch;
};

TEST_F(PathSafetyTest, OwnersAndWriteBitsOfTheFileAndEveryDirectoryAboveIt) {
    const tRunsAs root = tRunsAs::root;
    runCases({
        {"safe file", 0755, 0644, 0755, 0644, "", "", "", "d/f", ""},
        {"only their owner may read", 0700, 0600, 0755, 0644, "", "", "", "d/f", ""},
        {"file writable by its group", 0755, 0664, 0755, 0644, "", "", "", "d/f",
         "<s>/d/f is writable by its group (mode 0664)"},
        {"file writable by others", 0755, 0646, 0755, 0644, "", "", "", "d/f",
         "<s>/d/f is writable by others (mode 0646)"},
        {"file writable by everyone", 0755, 0666, 0755, 0644, "", "", "", "d/f",
         "<s>/d/f is writable by others (mode 0666)"},
        {"directory writable by its group", 0775, 0644, 0755, 0644, "", "", "", "d/f",
         "<s>/d is writable by its group (mode 0775)"},
        {"directory writable by others", 0777, 0644, 0755, 0644, "", "", "", "d/f",
         "<s>/d is writable by others (mode 0777)"},
        {"the fault nearest to / is named", 0777, 0666, 0755, 0644, "", "", "", "d/f",
         "<s>/d is writable by others (mode 0777)"},
        {"root's sticky directory", 01777, 0644, 0755, 0644, "", "", "", "d/f", "", root},
        {"root's sticky directory for its group", 01770, 0644, 0755, 0644, "", "", "", "d/f", "",
         root},
        {"a sticky directory counts only when root owns it", 01777, 0644, 0755, 0644, "", "", "",
         "d/f", "<s>/d is writable by others (mode 1777)", tRunsAs::notRoot},
        {"file of another user", 0755, 0644, 0755, 0644, "", "", "d/f", "d/f",
         "<s>/d/f is owned by uid 12345", root},
        {"directory of another user", 0755, 0644, 0755, 0644, "", "", "d", "d/f",
         "<s>/d is owned by uid 12345", root},
        {"sticky directory of another user", 01777, 0644, 0755, 0644, "", "", "d", "d/f",
         "<s>/d is owned by uid 12345", root},
        {"missing file under safe directories", 0755, 0644, 0755, 0644, "", "", "", "d/missing",
         ""},
        {"missing directory on the way", 0755, 0644, 0755, 0644, "", "", "", "d/missing/f", ""},
        {"missing file under a directory others may write", 0777, 0644, 0755, 0644, "", "", "",
         "d/missing", "<s>/d is writable by others (mode 0777)"},
        {"a file where a directory should be", 0755, 0644, 0755, 0644, "", "", "", "d/f/g", ""},
    });
}

TEST_F(PathSafetyTest, MissingNamesAreSafeOnlyWhereNobodyElseCouldCreateThem) {
    const tRunsAs root = tRunsAs::root;
    runCases({
        {"missing below root's sticky directory", 01777, 0644, 0755, 0644, "", "", "", "d/missing",
         "<s>/d/missing does not exist, and others may create it (its directory has mode 1777)",
         root},
        {"missing directory on the way below it", 01777, 0644, 0755, 0644, "", "", "",
         "d/missing/f",
         "<s>/d/missing does not exist, and others may create it (its directory has mode 1777)",
         root},
        {"missing below root's sticky directory for its group", 01770, 0644, 0755, 0644, "", "", "",
         "d/missing",
         "<s>/d/missing does not exist, and its group may create it (its directory has mode 1770)",
         root},
        {"dangling link into root's sticky directory", 0755, 0644, 01777, 0644, "d/l",
         "../e/missing", "", "d/l",
         "<s>/e/missing does not exist, and others may create it (its directory has mode 1777)",
         root},
        {"missing in a directory only its owner may write", 01755, 0644, 0755, 0644, "", "", "",
         "d/missing", ""},
    });
}

TEST_F(PathSafetyTest, KernelLinksAreJudgedByTheObjectTheyLeadTo) {
    makeDirectory("d", 0755);
    makeFile("d/f", 0644);
    makeFile("d/gone", 0644);
    makeDirectory("open", 0777);
    makeFile("open/f", 0644);
    const auto opened = [&](const std::string& name) {
        return open(pathOf(name).c_str(), O_RDONLY | O_CLOEXEC);
    };
    const int safe = opened("d/f");
    const int deleted = opened("d/gone");
    ASSERT_EQ(0, unlink(pathOf("d/gone").c_str()));
    const int unsafe = opened("open/f");
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    const auto link = [](int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); };
    tPathSafety pass;
    EXPECT_EQ("", pass.check(link(safe)).reason());
    EXPECT_EQ(pathOf("open") + " is writable by others (mode 0777)",
              pass.check(link(unsafe)).reason());
    const std::string kernelLink =
        " is a kernel link to an object without a name that can be judged";
    for (const int descriptor : {deleted, pipeEnds[0]}) {
        const std::string reason = pass.check(link(descriptor)).reason();
        EXPECT_EQ(
            "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(descriptor) + kernelLink,
            reason);
    }
    for (const int descriptor : {safe, deleted, unsafe, pipeEnds[0], pipeEnds[1]}) {
        close(descriptor);
    }
}

TEST_F(PathSafetyTest, LinksAreFollowedAndEveryDirectoryOnTheWayCounts) {
    // d holds the links; e holds what they lead to.
    runCases({
        {"relative link to a safe file", 0755, 0644, 0755, 0644, "d/l", "../e/f", "", "d/l", ""},
        {"absolute link to a safe file", 0755, 0644, 0755, 0644, "d/l", "<s>/e/f", "", "d/l", ""},
        {"link to a file in a directory others may write", 0755, 0644, 0777, 0644, "d/l", "../e/f",
         "", "d/l", "<s>/e is writable by others (mode 0777)"},
        {"link to a file others may write", 0755, 0644, 0755, 0666, "d/l", "../e/f", "", "d/l",
         "<s>/e/f is writable by others (mode 0666)"},
        {"link in a directory others may write, to a safe file", 0777, 0644, 0755, 0644, "d/l",
         "../e/f", "", "d/l", "<s>/d is writable by others (mode 0777)"},
        {"link to a directory on the way", 0755, 0644, 0775, 0644, "d/dir", "../e", "", "d/dir/f",
         "<s>/e is writable by its group (mode 0775)"},
        {"\"..\" after a link leads up from where the link points", 0755, 0644, 0755, 0666, "d/dir",
         "../e/sub", "", "d/dir/../f", "<s>/e/f is writable by others (mode 0666)"},
        {"link owned by another user", 0755, 0644, 0755, 0644, "d/l", "../e/f", "d/l", "d/l",
         "<s>/d/l is owned by uid 12345", tRunsAs::root},
        {"dangling link in a safe directory", 0755, 0644, 0755, 0644, "d/l", "../e/missing", "",
         "d/l", ""},
        {"loop of links", 0755, 0644, 0755, 0644, "d/l", "l", "", "d/l",
         "<s>/d/l cannot be examined: Too many levels of symbolic links"},
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
    const std::string dottedReason = pathSafety.check("./f").reason();
    ASSERT_EQ(0, chdir(saved));
    EXPECT_EQ(pathOf("d") + " is writable by others (mode 0777)", reason);
    EXPECT_EQ(reason, dottedReason);
}

// The loader's judge hands the loader regular files alone: the type of what
// a safe path leads to, links followed, tells it which.
TEST_F(PathSafetyTest, TheTypeOfWhatASafePathLeadsToIsToldLinksFollowed) {
    makeDirectory("d", 0755);
    makeFile("d/f", 0644);
    makeDirectory("d/sub", 0755);
    ASSERT_EQ(0, mkfifo(pathOf("d/fifo").c_str(), 0644));
    ASSERT_EQ(0, symlink("sub", pathOf("d/to-sub").c_str()));
    ASSERT_EQ(0, symlink("f", pathOf("d/to-f").c_str()));
    const struct {
        const char* path;
        bool exists;
        mode_t type;
    } cases[] = {
        {"d/f", true, S_IFREG},      {"d/sub", true, S_IFDIR},  {"d/fifo", true, S_IFIFO},
        {"d/to-sub", true, S_IFDIR}, {"d/to-f", true, S_IFREG}, {"d/missing", false, 0},
        {"d/f/below", false, 0},
    };
    tPathSafety pathSafety;
    for (const auto& expected : cases) {
        bool exists = !expected.exists;
        mode_t type = 07;
        EXPECT_TRUE(pathSafety.check(pathOf(expected.path), exists, type).safe()) << expected.path;
        EXPECT_EQ(expected.exists, exists) << expected.path;
        EXPECT_EQ(expected.type, type) << expected.path;
    }
}

TEST_F(PathSafetyTest, AMissingNamesVerdictIsNeverKept) {
    if (!runsAs(tRunsAs::root)) {
        GTEST_SKIP() << "giving a directory to another user needs root";
    }
    makeDirectory("sticky", 01777);
    makeDirectory("d", 0755);
    tPathSafety pass;
    EXPECT_EQ(tPathVerdict::tFault::creatable, pass.check(pathOf("sticky/x/one.so")).fault);
    EXPECT_TRUE(pass.check(pathOf("d/x/one.so")).safe());
    // What another user then creates, or root gives away, is judged as it is now.
    for (const char* directory : {"sticky/x", "d/x"}) {
        makeDirectory(directory, 0755);
        makeFile(std::string(directory) + "/two.so", 0644);
        giveToStranger(directory);
        EXPECT_EQ(pathOf(directory) + " is owned by uid 12345",
                  pass.check(pathOf(std::string(directory) + "/two.so")).reason());
    }
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

// The descriptor a pass keeps of a directory may be closed by plugin code and
// its number given to another directory: the pass then judges the directory
// anew instead of looking names up in whatever the number leads to.
TEST_F(PathSafetyTest, AKeptDirectoryClosedBehindThePassIsJudgedAnew) {
    makeDirectory("d", 0755);
    makeFile("d/f", 0644);
    makeFile("d/g", 0644);
    makeDirectory("u", 0777);
    makeFile("u/g", 0666);
    tPathSafety pass;
    ASSERT_TRUE(pass.check(pathOf("d/f")).safe());
    const int kept = keptDescriptorOf(pathOf("d"));
    ASSERT_GE(kept, 0);
    const int other = ::open(pathOf("u").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(kept, dup2(other, kept));
    close(other);
    EXPECT_TRUE(pass.check(pathOf("d/g")).safe())
        << "judged in the directory the number now leads to";
}

}  // namespace

// What is judged is what is opened: the descriptor's own object, a link's
// target through the judged walk, nothing for a name that is missing.
class JudgedOpenTest : public PathSafetyTest {
  protected:
    struct tOpened {
        int descriptor = -1;
        std::string reason;
        bool exists = true;
        struct stat info {};
    };
    tOpened open(tPathSafety& pathSafety, const std::string& path) const {
        tOpened opened;
        tPathVerdict verdict;
        opened.descriptor = pathSafety.openJudged(path, verdict, opened.info, opened.exists);
        opened.reason = verdict.reason();
        for (size_t at; (at = opened.reason.find(scratch)) != std::string::npos;) {
            opened.reason.replace(at, scratch.size(), "<s>");
        }
        if (opened.descriptor >= 0) {
            close(opened.descriptor);
        }
        return opened;
    }
};

TEST_F(JudgedOpenTest, TheObjectOpenedIsTheObjectJudged) {
    makeFile("own", 0644);
    makeFile("group", 0664);
    makeLink("link", pathOf("own"));
    makeLink("to-group", pathOf("group"));
    tPathSafety pathSafety;
    struct stat own;
    ASSERT_EQ(0, stat(pathOf("own").c_str(), &own));
    for (const char* name : {"own", "link"}) {
        const tOpened opened = open(pathSafety, pathOf(name));
        EXPECT_LE(0, opened.descriptor) << name;
        EXPECT_EQ(own.st_ino, opened.info.st_ino) << name;
    }
    for (const char* name : {"group", "to-group"}) {
        const tOpened opened = open(pathSafety, pathOf(name));
        EXPECT_EQ(-1, opened.descriptor) << name;
        EXPECT_EQ("<s>/group is writable by its group (mode 0664)", opened.reason) << name;
    }
}

TEST_F(JudgedOpenTest, AFifoIsOpenedWithoutWaitingForAWriter) {
    ASSERT_EQ(0, mkfifo(pathOf("fifo").c_str(), 0644));
    tPathSafety pathSafety;
    const tOpened opened = open(pathSafety, pathOf("fifo"));
    EXPECT_LE(0, opened.descriptor);
    EXPECT_TRUE(S_ISFIFO(opened.info.st_mode));
}

TEST_F(JudgedOpenTest, MissingNamesAndRelativePaths) {
    makeDirectory("closed", 0755);
    makeDirectory("open", 0777);
    makeFile("closed/here", 0644);
    tPathSafety pathSafety;
    const tOpened missing = open(pathSafety, pathOf("closed/missing"));
    EXPECT_EQ(-1, missing.descriptor);
    EXPECT_FALSE(missing.exists);
    EXPECT_EQ("", missing.reason) << "only a trusted owner could create it";
    const tOpened creatable = open(pathSafety, pathOf("open/missing"));
    EXPECT_EQ(-1, creatable.descriptor);
    EXPECT_EQ("<s>/open is writable by others (mode 0777)", creatable.reason);

    char previous[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
    ASSERT_EQ(0, chdir(pathOf("closed").c_str()));
    const tOpened relative = open(pathSafety, "here");
    ASSERT_EQ(0, chdir(previous));
    EXPECT_LE(0, relative.descriptor);
}
