// The process as an administrator meets it: options, exit status, and the
// ending by the signal that stopped it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <set>
#include <string>

#include "support/ServiceProcess.h"

namespace {

const char kUsage[] =
    "Usage: zoKorvoRemoteService [OPTIONS]\n"
    "  -d, --daemon   use daemon(3) to run in the background\n"
    "      --start-step-limit SECONDS\n"
    "                 stop extending the service manager's start timeout once\n"
    "                 one plugin step has run this long (1 to 300, default 120)\n"
    "      --metrics-file PATH\n"
    "                 also write the status as Prometheus metrics to PATH (absolute),\n"
    "                 e.g. in node_exporter's textfile directory\n"
    "      --metrics-interval SECONDS\n"
    "                 rewrite the metrics file at least this often while the\n"
    "                 service runs (1 to 86400, default 60)\n"
    "  -h, --help     display this help and exit\n";

TEST(CommandLine, HelpPrintsTheUsageAndExitsZero) {
    const std::vector<std::vector<std::string>> spellings = {
        {"-h"}, {"--help"}, {"--he"}, {"-d", "-h"}, {"extra", "-h"}};
    for (const auto& arguments : spellings) {
        zotest::ServiceProcess service(arguments);
        const zotest::ProcessEnd end = service.wait();
        ASSERT_TRUE(end.exited) << arguments[0];
        EXPECT_EQ(0, end.exitCode);
        EXPECT_EQ(kUsage, service.standardOutput());
        EXPECT_EQ("", service.standardError());
    }
}

TEST(CommandLine, RejectedOptionPrintsTheHintAndExitsOne) {
    const std::vector<std::vector<std::string>> spellings = {
        {"-x"},
        {"--bogus"},
        {"-x", "-h"},
        {"--start-step-limit"},
        {"--start-step-limit", "0"},
        {"--start-step-limit=301"},
        {"--start-step-limit", "2s"},
        {"--start-step-limit", "-1"},
        {"--start-step-limit", "99999999999999999999999"}};
    for (const auto& arguments : spellings) {
        zotest::ServiceProcess service(arguments);
        const zotest::ProcessEnd end = service.wait();
        ASSERT_TRUE(end.exited) << arguments[0];
        EXPECT_EQ(1, end.exitCode);
        EXPECT_EQ("", service.standardOutput());
        const std::string error = service.standardError();
        const std::string hint =
            std::string("Try `") + ZO_TEST_SERVICE + " --help' for more information.\n";
        ASSERT_GE(error.size(), hint.size());
        EXPECT_EQ(hint, error.substr(error.size() - hint.size())) << error;
        EXPECT_GT(error.size(), hint.size()) << "getopt's own diagnostic comes first";
    }
}

TEST(Shutdown, EndsByTheSignalThatStoppedIt) {
    for (int sig : {SIGTERM, SIGINT}) {
        zotest::TestRoot root;
        zotest::ServiceProcess service;
        // Whether the signal comes before or after the run cycle waits, the
        // stop request is kept and the process ends by that signal.
        usleep(200 * 1000);
        service.sendSignal(sig);
        const zotest::ProcessEnd end = service.wait();
        ASSERT_FALSE(end.timedOut);
        ASSERT_TRUE(end.signaled) << "exit code " << end.exitCode;
        EXPECT_EQ(sig, end.signal);
        EXPECT_EQ("", service.standardOutput());
        EXPECT_EQ("", service.standardError());
    }
}

// True when `word` is one of the NUL-separated words of /proc/<pid>/<file>.
bool procListHas(const std::string& pid, const char* file, const std::string& word) {
    const std::string words = zotest::readFile("/proc/" + pid + "/" + file);
    size_t start = 0;
    while (start < words.size()) {
        const size_t end = words.find('\0', start);
        if (words.compare(start, end - start, word) == 0) {
            return true;
        }
        start = end == std::string::npos ? end : end + 1;
    }
    return false;
}

// True when the process runs the test variant: the executable is one of
// its arguments, whether it runs directly or under a wrapper such as
// valgrind.
bool runsTheService(const std::string& pid) { return procListHas(pid, "cmdline", ZO_TEST_SERVICE); }

// True when the process runs in this test's slot: a test beside this one
// may detach a service of its own.
bool inThisTestsSlot(const std::string& pid) {
    return procListHas(pid, "environ", std::string("ZO_TEST_SLOT=") + getenv("ZO_TEST_SLOT"));
}

// The processes of the test variant that lead a session of their own, as
// daemon(3) makes the detached service do (it calls setsid); no service the
// tests start directly does.
std::set<pid_t> detachedServices() {
    std::set<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid > 0 && getsid(pid) == pid && runsTheService(entry->d_name) &&
            inThisTestsSlot(entry->d_name)) {
            found.insert(pid);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}

// The detached service that was not there before, or -1.
pid_t newDetachedService(const std::set<pid_t>& before) {
    for (pid_t pid : detachedServices()) {
        if (before.count(pid) == 0) {
            return pid;
        }
    }
    return -1;
}

// Ends the detached service when the test ends, whatever it checked.
struct tKillAtEnd {
    ~tKillAtEnd() {
        if (pid > 0) {
            kill(pid, SIGKILL);
        }
    }
    pid_t pid = -1;
};

// The modification time in nanoseconds: every write of the status file
// makes a new file.
int64_t modifiedAtNs(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::string workingDirectoryOf(pid_t pid) {
    char directory[PATH_MAX] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    return readlink(link.c_str(), directory, sizeof directory - 1) > 0 ? directory : "";
}

TEST(Daemon, DetachesRunsFromTheRootDirectoryAndStopsOnSigterm) {
    zotest::TestRoot root;
    const std::set<pid_t> earlier = detachedServices();
    zotest::ServiceProcess launcher({"-d"});
    const zotest::ProcessEnd launched = launcher.wait();
    ASSERT_TRUE(launched.exited);
    EXPECT_EQ(0, launched.exitCode);
    tKillAtEnd detached;
    ASSERT_TRUE(zotest::waitFor([&] {
        detached.pid = newDetachedService(earlier);
        return detached.pid > 0 &&
               zotest::readFile(root.statusFile()).find("\nAllowed: ") != std::string::npos;
    })) << "no detached service found";
    const pid_t daemonPid = detached.pid;
    EXPECT_EQ("/", workingDirectoryOf(daemonPid));
    const int64_t before = modifiedAtNs(root.statusFile());
    zotest::waitUntilFileTimesPass(root.statusFile());
    kill(daemonPid, SIGTERM);
    EXPECT_TRUE(zotest::waitFor([&] { return kill(daemonPid, 0) != 0; }));
    // The stop and the destructor rewrote the status file.
    EXPECT_LT(before, modifiedAtNs(root.statusFile()));
    EXPECT_EQ("", launcher.standardOutput());
    EXPECT_EQ("", launcher.standardError());
}

}  // namespace
