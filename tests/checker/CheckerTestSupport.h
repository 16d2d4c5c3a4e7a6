// Test support for zoKorvoPluginCheck: a scratch directory of description
// files that removes itself, a working directory for one scope, and a run of
// the checker's test variant.
// Not thread-safe: one test uses a scratch directory at a time.
#ifndef ZO_TESTS_CHECKER_CHECKERTESTSUPPORT_H
#define ZO_TESTS_CHECKER_CHECKERTESTSUPPORT_H

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "CheckReport.h"
#include "support/ServiceProcess.h"

namespace zotest {

// A fresh directory under the build tree, removed with everything in it.
class tScratchDirectory {
  public:
    tScratchDirectory() {
        std::string name = std::string(ZO_TEST_BINARY_DIR) + "/checker.XXXXXX";
        if (mkdtemp(name.data()) == nullptr) {
            throw std::runtime_error("cannot create " + name);
        }
        path = name;
    }
    ~tScratchDirectory() { removeTree(path); }
    tScratchDirectory(const tScratchDirectory&) = delete;
    tScratchDirectory& operator=(const tScratchDirectory&) = delete;

    // Writes `text` into the file `name` and returns its path.
    std::string add(const std::string& name, const std::string& text) const {
        writeFile(path + "/" + name, text);
        return path + "/" + name;
    }

    std::string path;
};

// Runs the scope in `directory` and returns to the former working directory.
class tWorkingDirectory {
  public:
    explicit tWorkingDirectory(const std::string& directory) {
        char* current = getcwd(nullptr, 0);
        if (current == nullptr) {
            throw std::runtime_error("cannot read the working directory");
        }
        former = current;
        free(current);
        if (chdir(directory.c_str()) != 0) {
            throw std::runtime_error("cannot change into " + directory);
        }
    }
    ~tWorkingDirectory() {
        if (chdir(former.c_str()) != 0) {
            std::abort();  // every later test would run in the wrong place
        }
    }
    tWorkingDirectory(const tWorkingDirectory&) = delete;
    tWorkingDirectory& operator=(const tWorkingDirectory&) = delete;

  private:
    std::string former;
};

struct tCheckerRun {
    int exitStatus = -1;  // -1 when the checker did not exit normally in time
    std::string output;
    std::string errors;
};

inline tCheckerRun runChecker(std::vector<std::string> arguments,
                              std::vector<std::string> environment = {}) {
    ServiceProcess checker(std::move(arguments), std::move(environment), ZO_TEST_CHECKER);
    const ProcessEnd end = checker.wait();
    return tCheckerRun{end.exited ? end.exitCode : -1, checker.standardOutput(),
                       checker.standardError()};
}

// A description file's text: Name and Path in [Service], then `more` lines.
inline std::string description(const std::string& name, const std::string& path,
                               const std::string& more = "") {
    return "[Service]\nName=" + name + "\nPath=" + path + "\n" + more;
}

// The kinds of `findings` with their lines, "kind@line", in report order.
inline std::vector<std::string> kindsAndLines(const std::vector<nPluginCheck::tFinding>& findings) {
    std::vector<std::string> listed;
    for (const nPluginCheck::tFinding& finding : findings) {
        listed.push_back(finding.kind + "@" + std::to_string(finding.line));
    }
    return listed;
}

#ifdef ZO_TEST_PLUGIN_ctorCrasher
// Three plugins in `directory`: "crashing", whose library's constructor dies
// of SIGSEGV, "hanging", whose constructor sleeps ten minutes, and "zulu",
// which has no fault.
inline void addFaultyConstructors(tScratchDirectory& directory) {
    directory.add("crashing.ini", description("crashing", ZO_TEST_PLUGIN_ctorCrasher,
                                              "Initialize=CtorCrasherInit\n"));
    directory.add("hanging.ini",
                  description("hanging", ZO_TEST_PLUGIN_ctorHanger, "Initialize=CtorHangerInit\n"));
    directory.add("zulu.ini", description("zulu", ZO_TEST_PLUGIN_gamma, "Initialize=GammaInit\n"));
}
#endif

}  // namespace zotest

#endif  // ZO_TESTS_CHECKER_CHECKERTESTSUPPORT_H
