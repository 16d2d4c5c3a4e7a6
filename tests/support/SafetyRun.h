// Test support for the runs of root's safety checks: files that "another
// user" owns or could have changed, and what the service made of them. The other user is uid 12345,
// which no account on a test machine has; giving it a file needs root, so the tests that do skip
// without it (CI runs as root).
#ifndef ZO_TESTS_SAFETYRUN_H
#define ZO_TESTS_SAFETYRUN_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/StatusFileText.h"

namespace zotest {

constexpr uid_t kStranger = 12345;

#define ZOTEST_SKIP_UNLESS_ROOT()                                               \
    if (geteuid() != 0) {                                                       \
        GTEST_SKIP() << "giving a file to another user (uid 12345) needs root"; \
    }

inline void setMode(const std::string& path, mode_t mode) {
    ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

inline void giveToStranger(const std::string& path) {
    ASSERT_EQ(0, lchown(path.c_str(), kStranger, static_cast<gid_t>(-1))) << path;
}

inline void makeDirectory(const std::string& path, mode_t mode) {
    makeDirectories(path);
    setMode(path, mode);
}

inline void copyLibrary(const std::string& from, const std::string& to) {
    writeFile(to, readFile(from));
    setMode(to, 0755);
}

// Whether the service process has `path` mapped: a library it opened.
inline bool hasMapped(const ServiceProcess& service, const std::string& path) {
    return readFile("/proc/" + std::to_string(service.pid()) + "/maps").find(path) !=
           std::string::npos;
}

// The first three lines of a plugin's block in the status file.
inline std::string blockHeader(const std::string& name, const std::string& path,
                               const std::string& dependencies = "") {
    return name + " (depends on " + dependencies + ")\nLoaded From: " + path + "\nRequires: 1\n";
}

// A plugin's block in the status file, its one step written out in `step`.
inline std::string pluginBlock(const std::string& name, const std::string& path,
                               const std::string& dependencies, const std::string& step) {
    return blockHeader(name, path, dependencies) + step + "\n";
}

// A refused plugin's block: its Initialize step with `code`.
inline std::string refusedBlock(const std::string& name, const std::string& path,
                                const std::string& initialize, int code,
                                const std::string& dependencies = "") {
    return pluginBlock(
        name, path, dependencies,
        initialize + " Time: 0 ms\n" + initialize + " Code: " + std::to_string(code) + "\n");
}

// Waits until the normalised status text holds every one of `parts`;
// `status` is the last text read.
inline bool waitForStatusHolding(const TestRoot& root, const std::vector<std::string>& parts,
                                 std::string& status) {
    return waitFor([&] {
        status = normalizeMeasurements(root.statusText());
        return std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
            return status.find(part) != std::string::npos;
        });
    });
}

// The gate at which the dawdler's Initialize waits (its file's existence),
// so that the test acts while the service is inside that step, however slowly
// the machine runs. open() lets the step end.
class tPluginGate {
  public:
    explicit tPluginGate(const TestRoot& root) : path(root.root() + "/plugin-gate") {
        unlink(path.c_str());
    }
    ~tPluginGate() { unlink(path.c_str()); }
    tPluginGate(const tPluginGate&) = delete;
    tPluginGate& operator=(const tPluginGate&) = delete;

    std::string environmentEntry() const { return "ZO_TEST_PLUGIN_GATE=" + path; }
    void open() const { writeFile(path, ""); }

  private:
    std::string path;
};

inline void stopByTheSignal(ServiceProcess& service) {
    service.sendSignal(SIGTERM);
    const ProcessEnd end = service.wait();
    EXPECT_TRUE(end.signaled && end.signal == SIGTERM) << "exit code " << end.exitCode;
    EXPECT_EQ("", service.standardError());
}

}  // namespace zotest

#endif  // ZO_TESTS_SAFETYRUN_H
