// What zoKorvoPluginCheck found: each description file's verdict with the
// reasons and warnings, the findings across the files, and what the
// service's start pass would make of every accepted plugin.
//
// Plain value types, filled by the checks (FileCheck, CrossFileCheck,
// StartPrediction) and read by the renderers (Report). Not thread-safe;
// nothing here fails.
#ifndef ZOKORVO_PLUGINCHECK_CHECKREPORT_H
#define ZOKORVO_PLUGINCHECK_CHECKREPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TrialReport.h"
#include "plugins/tPluginDescription.h"

namespace nPluginCheck {

// One fact about a file, a line, or a set of plugins. `kind` is a fixed
// identifier for scripts ("blank-line", "unknown-key", ...); `message` says
// the same in plain words.
struct tFinding {
    int32_t line = 0;  // 0: the file as a whole, or no file at all
    std::string kind;
    std::string message;
};

struct tFileReport {
    std::string path;
    // The service lists the file: its name ends in ".ini". A file named on
    // the command line that does not is checked on its own but takes no
    // part in the checks across files or in the start order.
    bool listed = true;
    // The service's own verdict: parseDescriptionFile accepted the file.
    bool accepted = false;
    // When rejected, the code parseDescriptionFile raised (0 when the
    // service would never read the file at all).
    int32_t code = 0;
    // Why the service would not even read the file: which path, and whether
    // its owner or its mode is at fault (PathSafety.h); empty when safe.
    std::string unsafeReason;
    // Why the file is rejected, each bad line with its number.
    std::vector<tFinding> errors;
    // What the service accepts silently but is almost always a mistake.
    std::vector<tFinding> warnings;
    // What the service reads from an accepted file.
    tPluginDescription description;
};

// An accepted description and the file it came from.
struct tPlacedDescription {
    std::string file;
    tPluginDescription description;
};

// Why opening a library or looking up one of its entry points failed.
struct tLoadFailure {
    std::string what;        // "library", "Initialize entry point \"X\"", ...
    std::string loaderText;  // the dynamic loader's own words
};

enum class tStartVerdict {
    admitted,    // passes the capability and dependency tests (and loads, with --load)
    refused,     // -52002, -52006, or -52026 for a library that is not safe: never opened
    loadFailed,  // -52005: no "Path", or (--load) the library or an entry point cannot be bound
};

// What the start pass would do with one plugin, in start order.
struct tStartPrediction {
    tPlacedDescription plugin;
    tStartVerdict verdict = tStartVerdict::admitted;
    int32_t code = 0;    // the code the status file would show for the start step
    std::string reason;  // why it is refused or fails to load; empty when admitted
    std::vector<tLoadFailure> loadFailures;
    // With --load and a relative or bare "Path": the library was found in
    // this checker's environment, which need not be the service's.
    std::string environmentNote;
};

struct tCheckReport {
    // The directory that was listed; empty when files were named.
    std::string pluginsDirectory;
    bool deploymentAllowed = true;
    bool deploymentQueried = false;
    // What the service would write into its status file when the query failed.
    std::string deploymentMessage;
    uint32_t capabilityMask = 0xFFFFFFFF;
    bool librariesLoaded = false;  // --load
    // Whose verdicts on owners these are: the checker trusts root and its own
    // user, as the service does; run as another user than root, it accepts
    // that user's files, which the service running as root refuses.
    uint32_t checkedAsUid = 0;
    std::vector<tFileReport> files;
    std::vector<tFinding> acrossFiles;
    std::vector<tStartPrediction> startOrder;
    std::optional<tTrialReport> trial;  // --trial
};

struct tSummary {
    size_t files = 0;
    size_t accepted = 0;
    size_t rejected = 0;
    size_t admitted = 0;
    size_t refused = 0;
    size_t loadFailed = 0;
    size_t warnings = 0;  // in the files and across them
};

tSummary summarize(const tCheckReport& report);

void addError(tFileReport& report, int32_t line, const char* kind, const std::string& message);
void addWarning(tFileReport& report, int32_t line, const char* kind, const std::string& message);

// 0 when nothing is wrong; 1 when a file is rejected, a plugin would be
// refused or fail to load, or the trial found a problem. Warnings alone
// leave it 0.
int exitStatusOf(const tCheckReport& report);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_CHECKREPORT_H
