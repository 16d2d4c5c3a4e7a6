#include "FileCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <boost/filesystem/path.hpp>

#include "KeyWarnings.h"
#include "LineWalk.h"
#include "plugins/PluginDescriptionFile.h"
#include "zoerr/Status.h"

namespace nPluginCheck {
namespace {

// The service's verdict; a rejected file gets the code it raised.
void takeVerdict(const std::string& path, tFileReport& report) {
    try {
        nPluginData::parseDescriptionFile(path, report.description);
        report.accepted = true;
    } catch (const std::exception&) {
        report.code = zoerr::codeFromCurrentException();
    }
}

// Discovery lists only regular files (links followed); opening anything else
// could block (a FIFO) and the service never would.
bool isListableFile(const std::string& path, tFileReport& report) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
        return true;
    }
    addError(report, 0, "not-regular-file",
             "not a regular file: the service lists only regular files and never reads this one");
    return false;
}

// The service reads no description file that another user could have
// written, and says so in its status file.
bool isSafeFile(const std::string& path, tPathSafety& pathSafety, tFileReport& report) {
    const tPathVerdict verdict = pathSafety.check(path);
    if (verdict.safe()) {
        return true;
    }
    report.unsafeReason = verdict.reason();
    addError(report, 0, "unsafe",
             "the service does not read it and writes \"Unsafe service description file: " + path +
                 "\" into its status file");
    return false;
}

// The service never reads such a file, so its plugin can neither start nor
// satisfy another plugin's dependency: it stays out of the prediction.
void warnAboutExtension(const std::string& path, tFileReport& report) {
    if (boost::filesystem::path(path).extension().string() != ".ini") {
        report.listed = false;
        addWarning(report, 0, "not-ini-extension",
                   "the name does not end in \".ini\": the service does not list this file, "
                   "so its plugin is left out of the checks across files and the start order");
    }
}

// An error that refuses the file's plugin, not the file: the service reads
// such a file and refuses the plugin at its start.
bool refusesThePlugin(const tFinding& error) {
    return error.kind == "process-setting" || error.kind == "unknown-user";
}

// The walk and the verdict read the file at different moments.
void reconcileWithVerdict(tFileReport& report) {
    const bool fileErrors = !std::all_of(report.errors.begin(), report.errors.end(), refusesThePlugin);
    if (!report.accepted && report.errors.empty()) {
        addError(report, 0, "rejected",
                 "the service rejects the file with code " + std::to_string(report.code));
    } else if (report.accepted && fileErrors) {
        addWarning(report, 0, "file-changed",
                   "the file changed while it was being checked: check it again");
    }
}

}  // namespace

tFileReport checkDescriptionFile(const std::string& path) {
    tPathSafety pathSafety(tPathSafety::tTrust::rootAlone);
    return checkDescriptionFile(path, pathSafety);
}

tFileReport checkDescriptionFile(const std::string& path, tPathSafety& pathSafety) {
    tFileReport report;
    report.path = path;
    warnAboutExtension(path, report);
    if (!isListableFile(path, report) || !isSafeFile(path, pathSafety, report)) {
        return report;
    }
    takeVerdict(path, report);
    tLineWalk walk;
    walkLines(path, walk, report);
    warnAboutKeys(path, walk, report);
    reconcileWithVerdict(report);
    std::stable_sort(report.warnings.begin(), report.warnings.end(),
                     [](const tFinding& a, const tFinding& b) { return a.line < b.line; });
    return report;
}

}  // namespace nPluginCheck
