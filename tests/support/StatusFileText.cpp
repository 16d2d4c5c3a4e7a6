#include "support/StatusFileText.h"

#include <regex>
#include <set>
#include <sstream>
#include <vector>

namespace zotest {
namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(in.eof() ? line : line + "\n");
    }
    return lines;
}

// A step's two lines, "<label> Time: <n> ms" and "<label> Code: <code>",
// normalised as described in the header; false when `time` and `code` are
// not such a pair.
bool normalizeStep(const std::string& time, const std::string& code, std::string& out) {
    static const std::regex timeLine(R"((\S+) Time: ([0-9]+) ms\n)");
    static const std::regex codeLine(R"((\S+) Code: (-?[0-9]+)\n)");
    std::smatch timeMatch;
    std::smatch codeMatch;
    if (!std::regex_match(time, timeMatch, timeLine) ||
        !std::regex_match(code, codeMatch, codeLine) || timeMatch[1] != codeMatch[1]) {
        return false;
    }
    // The test plugins' entry points that pause on purpose
    // (tests/plugins/CMakeLists.txt): their steps show however long they took.
    static const std::set<std::string> pausing = {"SlowStop",     "SleepyInit", "SleepyStop",
                                                  "WatchfulInit", "DozyInit",   "DozyStop",
                                                  "DozyCleanup"};
    const bool succeeded = codeMatch[2] == "0";
    if (succeeded && pausing.count(timeMatch[1].str()) != 0) {
        out += time + code;
        return true;
    }
    if (succeeded && timeMatch[2] != "0") {
        return true;  // whatever the machine made it take
    }
    out += succeeded ? time : timeMatch[1].str() + " Time: 0 ms\n";
    out += code;
    return true;
}

}  // namespace

bool waitForStatusContaining(const TestRoot& root, const std::string& part,
                             std::chrono::milliseconds limit) {
    return waitFor([&] { return root.statusText().find(part) != std::string::npos; }, limit);
}

bool waitForPhase(const TestRoot& root, const char* phase, std::chrono::milliseconds limit) {
    const std::string named = std::string("\"phase\":\"") + phase + "\"";
    return waitFor(
        [&] {
            return readFile(root.statusDirectory() + "/zoKorvoRemoteService.status.json")
                       .find(named) != std::string::npos;
        },
        limit);
}

std::string normalizeMeasurements(const std::string& statusText) {
    static const std::regex initTimeLine(R"(Init Time [1-9][0-9]* ms\n)");
    const std::vector<std::string> lines = splitLines(normalizeUpdatedLine(statusText));
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_match(lines[i], initTimeLine)) {
            continue;
        }
        if (i + 1 < lines.size() && normalizeStep(lines[i], lines[i + 1], out)) {
            ++i;
            continue;
        }
        out += lines[i];
    }
    return out;
}

}  // namespace zotest
