#include "reliability/ReliabilitySupport.h"

#include <sstream>

#include "support/ServiceProcess.h"

namespace zotest {
namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool startsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// "<label> Time: <n> ms" or "<label> Code: 0", the label a single word.
bool isMeasurementLine(const std::string& line) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0) {
        return false;
    }
    const std::string rest = line.substr(blank);
    if (rest == " Code: 0") {
        return true;
    }
    const std::string timeStart = " Time: ";
    const std::string timeEnd = " ms";
    if (!startsWith(rest, timeStart) || !endsWith(rest, timeEnd) ||
        rest.size() <= timeStart.size() + timeEnd.size()) {
        return false;
    }
    const std::string number =
        rest.substr(timeStart.size(), rest.size() - timeStart.size() - timeEnd.size());
    return number.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string withoutMeasurements(const std::string& statusText) {
    std::istringstream lines(normalizeUpdatedLine(statusText));
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (startsWith(line, "Init Time ") || isMeasurementLine(line)) {
            continue;
        }
        out += line + (lines.eof() ? "" : "\n");
    }
    return out;
}

}  // namespace zotest
