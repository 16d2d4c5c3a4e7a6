// Test support: runs the test variant of the service executable as a child
// process and lays out the fixed paths it uses under the build tree.
//
// ServiceProcess starts the executable with given arguments and extra
// environment, captures standard output and error into files, sends
// signals, and waits with a bound so that a hanging service fails the test
// instead of hanging it. TestRoot owns the pointer file, the shared-data
// directory with its plugins directory, and the status directory; it starts
// every test from an empty tree. Tests that use them hold the CTest
// resource lock, so only one runs at a time.
#ifndef ZO_TESTS_SERVICEPROCESS_H
#define ZO_TESTS_SERVICEPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zotest {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
void removeTree(const std::string& path);
void makeDirectories(const std::string& path);

// Why user `uid` (group `gid`, no supplementary groups) cannot read `path`,
// or empty when it can. A test that runs something as another user skips
// with this reason when the build tree is not that user's to reach (it lies
// under a directory closed to others, as /root is). Needs root.
std::string unreadableFor(uid_t uid, gid_t gid, const std::string& path);

// The bound of a wait for an event a test needs: `base` times the whole
// number in ZO_TEST_TIME_SCALE (1 when unset), which runs known to be slower
// set (valgrind's: tests/reliability/memcheck.sh). Only a service that never
// gets there uses a bound up, so the default is long: a start under a
// sanitizer on two cores with other builds beside it has taken over 20 s.
std::chrono::milliseconds eventLimit(std::chrono::milliseconds base = std::chrono::seconds(120));

// Polls `condition` every few milliseconds; false when `limit` passed first.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = eventLimit());

// Returns once a file written now gets a later modification time than
// `reference` has: file times advance only with the kernel's clock tick.
void waitUntilFileTimesPass(const std::string& reference);

struct ProcessEnd {
    bool exited = false;
    int exitCode = -1;
    bool signaled = false;
    int signal = 0;
    bool timedOut = false;
};

class ServiceProcess {
  public:
    // Starts `executable` (the test variant by default) with `arguments`
    // and `environment` entries ("NAME=value") added to the test's own.
    // When ZO_TEST_SERVICE_WRAPPER is set, its words come first: the
    // executable then runs under that program (valgrind in the memcheck run).
    // An empty "JOURNAL_STREAM=" entry becomes the device and inode of the
    // child's standard error: the service then takes it for the journal.
    explicit ServiceProcess(std::vector<std::string> arguments = {},
                            std::vector<std::string> environment = {},
                            std::string executable = ZO_TEST_SERVICE);
    ~ServiceProcess();  // kills a child that is still running
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    void sendSignal(int signal);
    // Waits at most `limit` for the process to end.
    ProcessEnd wait(std::chrono::milliseconds limit = eventLimit());
    std::string standardOutput() const;
    std::string standardError() const;
    pid_t pid() const { return child; }

  private:
    pid_t child = -1;
    bool reaped = false;
    ProcessEnd end;
    std::string outputPath;
    std::string errorPath;
};

// The fixed paths of the test variant, in this test's slot (TestSlot.h).
class TestRoot {
  public:
    // Empties the test root and lays out: the pointer file naming
    // shareDirectory(), the plugins directory inside it, the status directory,
    // none of them writable by group or others. Throws, saying why, when the
    // service would not trust the directories above (see PathSafety.h).
    TestRoot();

    static std::string root();
    static std::string pointerFile();
    static std::string defaultShareDirectory();
    static std::string shareDirectory() { return root() + "/share"; }
    static std::string pluginsDirectory() {
        return shareDirectory() + "/KorvoRemoteService/plugins";
    }
    static std::string statusDirectory();
    static std::string statusFile() { return statusDirectory() + "/zoKorvoRemoteService.status"; }
    static std::string temporaryStatusFile() {
        return statusDirectory() + "/.zoKorvoRemoteService.status.tmp";
    }
    // The journal's socket, which the test binds itself to read the records.
    static std::string journalSocket();
    std::string statusText() const { return readFile(statusFile()); }

// Writes a description file, mode 0644, into the plugins directory.
    void addDescription(const std::string& fileName, const std::string& text) const;
};

// The status file's text with its "Updated: " line checked against the
// ctime(3) format and replaced by "Updated: <time>".
std::string normalizeUpdatedLine(const std::string& statusText);

}  // namespace zotest

#endif  // ZO_TESTS_SERVICEPROCESS_H
