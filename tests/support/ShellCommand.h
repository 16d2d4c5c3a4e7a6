// Test support: runs a command line through the shell and gives back its
// exit status and everything it printed, for the tools a test drives
// (promtool, python3, the checker). Not thread-safe.
#ifndef ZO_TESTS_SHELLCOMMAND_H
#define ZO_TESTS_SHELLCOMMAND_H

#include <stdio.h>
#include <sys/wait.h>

#include <string>

namespace zotest {

// Runs `command` through the shell; its exit status (-1 when it did not
// exit), its standard output and error in `output`.
inline int runCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    size_t length;
    while ((length = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, length);
    }
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// `path` quoted for the shell; paths of the tests hold no single quote.
inline std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

}  // namespace zotest

#endif  // ZO_TESTS_SHELLCOMMAND_H
