#include "support/ServiceProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "safety/PathSafety.h"
#include "support/TestSlot.h"

namespace zotest {
namespace {

int outputCounter = 0;

std::string freshOutputPath(const char* kind) {
    return std::string(ZO_TEST_BINARY_DIR) + "/service." + std::to_string(getpid()) + "." +
           std::to_string(++outputCounter) + "." + kind;
}

// The words of ZO_TEST_SERVICE_WRAPPER, split at spaces: a program such as
// valgrind that the service executable runs under. Empty when unset.
std::vector<std::string> serviceWrapper() {
    const char* wrapper = getenv("ZO_TEST_SERVICE_WRAPPER");
    std::istringstream words(wrapper != nullptr ? wrapper : "");
    std::vector<std::string> split;
    for (std::string word; words >> word;) {
        split.push_back(word);
    }
    return split;
}

ProcessEnd describeStatus(int status) {
    ProcessEnd end;
    if (WIFEXITED(status)) {
        end.exited = true;
        end.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signaled = true;
        end.signal = WTERMSIG(status);
    }
    return end;
}

// The service refuses every description file and library under a directory
// that another user could change; tests under one would fail for no reason
// they show. Says so instead.
void requireSafeForTheService(const std::string& path) {
    const tPathVerdict verdict = tPathSafety().check(path);
    if (!verdict.safe()) {
        throw std::runtime_error("the service would refuse every file under " + path + ", as " +
                                 verdict.reason() +
                                 ": build in a directory chain that only root or this user "
                                 "can write");
    }
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool fileExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void removeTree(const std::string& path) {
    const std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) {
        throw std::runtime_error("cannot remove " + path);
    }
}

void makeDirectories(const std::string& path) {
    const std::string command = "mkdir -p '" + path + "'";
    if (system(command.c_str()) != 0) {
        throw std::runtime_error("cannot create " + path);
    }
}

std::chrono::milliseconds eventLimit(std::chrono::milliseconds base) {
    const char* scale = getenv("ZO_TEST_TIME_SCALE");
    const long factor = scale != nullptr ? strtol(scale, nullptr, 10) : 1;
    return base * std::max(1L, factor);
}

void waitUntilFileTimesPass(const std::string& reference) {
    struct stat referenceStatus = {};
    if (stat(reference.c_str(), &referenceStatus) != 0) {
        throw std::runtime_error("cannot stat " + reference);
    }
    const std::string probe = reference + ".clock-probe";
    const auto later = [&referenceStatus](const struct stat& status) {
        return status.st_mtim.tv_sec != referenceStatus.st_mtim.tv_sec
                   ? status.st_mtim.tv_sec > referenceStatus.st_mtim.tv_sec
                   : status.st_mtim.tv_nsec > referenceStatus.st_mtim.tv_nsec;
    };
    const bool passed = waitFor([&] {
        writeFile(probe, "");
        struct stat status = {};
        return stat(probe.c_str(), &status) == 0 && later(status);
    });
    unlink(probe.c_str());
    if (!passed) {
        throw std::runtime_error("file times never passed those of " + reference);
    }
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

namespace {

// An empty JOURNAL_STREAM asks for standard error to pass for the journal's
// stream, as systemd names it: "<device>:<inode>".
void announceStandardErrorAsJournal() {
    const char* stream = getenv("JOURNAL_STREAM");
    struct stat info {};
    if (stream == nullptr || stream[0] != '\0' || fstat(STDERR_FILENO, &info) != 0) {
        return;
    }
    char value[64];
    snprintf(value, sizeof value, "%llu:%llu", static_cast<unsigned long long>(info.st_dev),
             static_cast<unsigned long long>(info.st_ino));
    setenv("JOURNAL_STREAM", value, 1);
}

}  // namespace

ServiceProcess::ServiceProcess(std::vector<std::string> arguments,
                               std::vector<std::string> environment, std::string executable)
    : outputPath(freshOutputPath("out")), errorPath(freshOutputPath("err")) {
    std::vector<std::string> wrapper = serviceWrapper();
    std::vector<char*> argv;
    for (std::string& word : wrapper) {
        argv.push_back(word.data());
    }
    argv.push_back(executable.data());
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    // The test runner may ignore SIGINT (a background job of a shell does);
    // a signal sent before the child has restored the default would then be
    // lost. Blocked across the fork, it stays pending until the child has.
    sigset_t all;
    sigset_t runnerMask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &runnerMask);
    child = fork();
    if (child != 0) {
        pthread_sigmask(SIG_SETMASK, &runnerMask, nullptr);
    }
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        for (const std::string& entry : environment) {
            putenv(strdup(entry.c_str()));
        }
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        announceStandardErrorAsJournal();
        // The service starts from the defaults as it would under a service
        // manager; a signal that came early is delivered once unblocked.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

ServiceProcess::~ServiceProcess() {
    if (child > 0 && !reaped) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    unlink(outputPath.c_str());
    unlink(errorPath.c_str());
}

void ServiceProcess::sendSignal(int sig) {
    if (child > 0 && !reaped) {
        kill(child, sig);
    }
}

ProcessEnd ServiceProcess::wait(std::chrono::milliseconds limit) {
    if (reaped) {
        return end;
    }
    int status = 0;
    const bool ended = waitFor(
        [&] {
            const pid_t result = waitpid(child, &status, WNOHANG);
            return result == child || (result < 0 && errno != EINTR);
        },
        limit);
    if (!ended) {
        ProcessEnd timedOut;
        timedOut.timedOut = true;
        return timedOut;
    }
    reaped = true;
    end = describeStatus(status);
    return end;
}

std::string ServiceProcess::standardOutput() const {
    return readFile(outputPath);
}

std::string ServiceProcess::standardError() const {
    return readFile(errorPath);
}

std::string unreadableFor(uid_t uid, gid_t gid, const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        // Only system calls here: the test process may have threads.
        const bool readable = setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
                              setresuid(uid, uid, uid) == 0 && access(path.c_str(), R_OK) == 0;
        _exit(readable ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return "cannot fork to look as uid " + std::to_string(uid);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    return "uid " + std::to_string(uid) + " cannot read " + path +
           " (a directory above the build tree is closed to other users, as /root is)";
}

std::string TestRoot::root() { return inThisSlot(ZO_TEST_ROOT); }
std::string TestRoot::pointerFile() { return inThisSlot(ZO_TEST_POINTER_FILE); }
std::string TestRoot::defaultShareDirectory() { return inThisSlot(ZO_TEST_DEFAULT_SHARE_DIRECTORY); }
std::string TestRoot::statusDirectory() { return inThisSlot(ZO_TEST_STATUS_DIRECTORY); }
std::string TestRoot::journalSocket() { return inThisSlot(ZO_TEST_JOURNAL_SOCKET); }

TestRoot::TestRoot() {
    removeTree(root());
    makeDirectories(pluginsDirectory());
    makeDirectories(statusDirectory());
    const std::string pointer = pointerFile();
    makeDirectories(pointer.substr(0, pointer.rfind('/')));
    writeFile(pointer, shareDirectory() + "\n");
    // Whatever the umask, nothing here is writable by group or others.
    const std::string command = "chmod -R go-w '" + root() + "'";
    if (system(command.c_str()) != 0) {
        throw std::runtime_error("cannot change the modes under " + root());
    }
    requireSafeForTheService(pluginsDirectory());
    requireSafeForTheService(std::string(ZO_TEST_BINARY_DIR) + "/plugins");
}

void TestRoot::addDescription(const std::string& fileName, const std::string& text) const {
    const std::string path = pluginsDirectory() + "/" + fileName;
    writeFile(path, text);
    chmod(path.c_str(), 0644);
}

std::string normalizeUpdatedLine(const std::string& statusText) {
    static const std::regex updated(
        "Updated: (Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
        "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
    return std::regex_replace(statusText, updated, "Updated: <time>\n",
                              std::regex_constants::format_first_only);
}

}  // namespace zotest
