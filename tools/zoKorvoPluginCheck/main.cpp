// zoKorvoPluginCheck: tells an administrator what zoKorvoRemoteService will
// make of its plugin description files, and why.
//
// Every decision is the service's own code: discovery, the description
// parser, the start order, the manager's admission and dependency tests,
// the deployment query and the library wrapper. This file reads the options,
// runs the checks in the order the service's run cycle would, prints the
// report and turns it into the exit status.
#include <getopt.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CheckReport.h"
#include "CrossFileCheck.h"
#include "system/DeploymentPermission.h"
#include "FileCheck.h"
#include "service/FixedPaths.h"
#include "Health.h"
#include "ReloadPlan.h"
#include "ReloadWait.h"
#include "Report.h"
#include "StartPrediction.h"
#include "reports/StatusFile.h"
#include "Trial.h"
#include "pluginprocess/PluginProcesses.h"
#include "text/VisibleText.h"
#include "plugins/PluginDiscovery.h"
#include "safety/LoaderJudgeLink.h"
#include "zoerr/Status.h"
#include "zosysq/stdpath.h"

namespace {

using nPluginCheck::tCheckReport;

constexpr int kExitUsageOrSystemError = 2;
constexpr double kDefaultStepTimeoutSeconds = 10;
// How long --reload waits: less than the 2 min the unit gives ExecReload=,
// so that the reason is this program's line rather than the manager's kill.
constexpr double kDefaultReloadTimeoutSeconds = 110;
constexpr double kDefaultRunForSeconds = 1;
// A day: longer is a mistake, and the clock's nanoseconds stay far from overflow.
constexpr double kLongestStepTimeoutSeconds = 86400;

enum class tDeploymentSource { assumeAllowed, assumeDenied, askSystem };

struct tOptions {
    std::vector<std::string> files;
    std::string pluginsDirectory;  // --plugins-dir; empty: the service's own
    tDeploymentSource deployment = tDeploymentSource::assumeAllowed;
    bool deploymentGiven = false;
    bool load = false;
    bool json = false;
    bool trial = false;
    bool reloadPlan = false;
    double stepTimeoutSeconds = kDefaultStepTimeoutSeconds;
    bool stepTimeoutGiven = false;
    double runForSeconds = kDefaultRunForSeconds;
    bool runForGiven = false;
    bool health = false;
    std::string statusDirectory;  // --status-dir; empty: the service's own
    std::vector<std::string> expected;  // --expect
    pid_t reloadPid = 0;                // --reload; 0: none
    double reloadTimeoutSeconds = kDefaultReloadTimeoutSeconds;
    bool reloadTimeoutGiven = false;
};

enum tLongOption {
    kPluginsDirOption = 256,
    kDeploymentOption,
    kQueryOption,
    kLoadOption,
    kJsonOption,
    kTrialOption,
    kReloadPlanOption,
    kStepTimeoutOption,
    kRunForOption,
    kHealthOption,
    kStatusDirOption,
    kExpectOption,
    kReloadOption,
    kTimeoutOption
};

const char kUsage[] =
    "Usage: zoKorvoPluginCheck [OPTIONS] [FILE...]\n"
    "Checks plugin description files as zoKorvoRemoteService reads them and predicts\n"
    "what its start pass does with each plugin. With no FILE, checks the *.ini files\n"
    "of the service's plugins directory:\n"
    "  <shared-data directory>/KorvoRemoteService/plugins\n"
    "  shared-data directory named by:  %s\n"
    "  or, when that cannot be read:    %s\n"
    "\n"
    "  --plugins-dir DIR   check the *.ini files of DIR instead\n"
    "  --deployment allowed|denied\n"
    "                      predict as if remote deployment were allowed (the default)\n"
    "                      or not allowed\n"
    "  --query-deployment  ask the system configuration framework, as the service\n"
    "                      does; when it cannot be reached this takes as long as the\n"
    "                      service's seven attempts, about 70 seconds\n"
    "  --load              open each admitted plugin's library as the service does\n"
    "                      (RTLD_NOW | RTLD_GLOBAL, in start order), look up the entry\n"
    "                      points its description names, report the dynamic loader's\n"
    "                      own text for every failure, and close the libraries again.\n"
    "                      The libraries are opened in a child process: one whose\n"
    "                      constructors crash, hang (--step-timeout) or end the\n"
    "                      process fails to load, saying so, and the others go on.\n"
    "                      The loader works in this checker's environment (working\n"
    "                      directory, LD_LIBRARY_PATH, user): the service runs from /\n"
    "                      under the service manager and with -d, so a relative or\n"
    "                      bare Path may name another library there (noted per plugin).\n"
    "  --trial             then run the admitted plugins' own entry points in a child\n"
    "                      process, as the service would: open and bind, Initialize,\n"
    "                      then every Stop and every Cleanup with its close in reverse;\n"
    "                      report each step's code and duration, a crash (the signal\n"
    "                      and the step), a hang, an exception, and what each plugin\n"
    "                      left behind after its close: threads, open file descriptors,\n"
    "                      child processes, its library still mapped; descriptors it\n"
    "                      closed that it did not open; SIGINT or SIGTERM blocked or\n"
    "                      taken over; why a library stays mapped; the loader's words\n"
    "                      for a library that cannot be bound. A positive Initialize\n"
    "                      code is a warning, not clean. Between the last Initialize\n"
    "                      and the first Stop the plugins run for a while, and a crash\n"
    "                      or abort there is blamed on the plugin whose code faulted\n"
    "                      or called abort. A crash or hang ends the\n"
    "                      child; the rest are tried in a new one, so an Initialize\n"
    "                      may run (and its side effects happen) more than once. It\n"
    "                      runs as this user (as root: plugin code runs as root), in\n"
    "                      this working directory and environment, and never touches\n"
    "                      the service's status file. SIGINT or SIGTERM ends the trial\n"
    "                      and every process of it, and prints the report so far.\n"
    "  --step-timeout SECONDS\n"
    "                      with --trial, a step running longer hangs; with --load,\n"
    "                      opening one library (default 10)\n"
    "  --run-for SECONDS   with --trial, how long the plugins run between the start\n"
    "                      and the stop (default 1; 0 for none)\n"
    "  --reload-plan       then say what a reload of the running service (SIGHUP,\n"
    "                      systemctl reload) would keep, stop and start, and why, from\n"
    "                      its JSON status (else its status file) and the files as\n"
    "                      they are now; files written after the status count as\n"
    "                      changed\n"
    "  --json              print the report as one JSON object\n"
    "  --health            instead of checking, judge the running service from its\n"
    "                      JSON status: one line and exit status 0 OK, 1 WARNING,\n"
    "                      2 CRITICAL, 3 UNKNOWN, as monitoring plugins report\n"
    "  --expect NAME[,NAME...]\n"
    "                      with --health, CRITICAL when a plugin of one of these\n"
    "                      Names is not started\n"
    "  --reload PID        instead of checking, send SIGHUP to the service PID and\n"
    "                      wait for that reload's result in its JSON status: exit\n"
    "                      status 0 done, 1 not done (the reason printed), 2 no\n"
    "                      result in time; the unit's ExecReload= runs it\n"
    "  --timeout SECONDS   with --reload, how long to wait (default 110)\n"
    "  --status-dir DIR    with --health or --reload, read DIR instead of the\n"
    "                      service's status directory (%s)\n"
    "  -h, --help          display this help and exit\n"
    "\n"
    "For each file: accepted or rejected by the service's own parser and, when\n"
    "rejected, every bad line with its number (a blank line, an empty last line, a\n"
    "\"#\" line, a line without \"=\", an empty key name, a section header without \"]\"\n"
    "or with an empty name, a UTF-16/UTF-32 byte-order mark, a file that cannot be\n"
    "read). Warnings for what the service accepts without a word but is almost\n"
    "always a mistake: keys outside [Service] or unknown in it, no Name or Path, a\n"
    "Requires that is 0 or does not start with digits, single-quoted values, a\n"
    "repeated key, a relative Path. Across files: duplicate names, dependencies no\n"
    "file describes, a plugin naming itself, a dependency named twice, cycles.\n"
    "A named FILE whose name does not end in \".ini\" is checked on its own only:\n"
    "the service never lists it, so it takes no part in the checks across files\n"
    "or the start order.\n"
    "A file that another user than root could change, or that lies under a\n"
    "directory such a user could change, is rejected as unsafe without being read;\n"
    "run as another user than root, the checker trusts that user's files too.\n"
    "Then the start order and, for each plugin, whether the start pass admits it,\n"
    "tested in the service's order: -52002 when its Requires shares no bit with the\n"
    "capabilities, then -52006 when a dependency has not started before it, then\n"
    "-52005 when it has no Path, -52026 when its library path holds a \"/\" and the\n"
    "library is not safe (it is never opened), and (with --load) -52005 when its\n"
    "library or an entry point cannot be bound. Without --trial no entry point is\n"
    "called, so a plugin whose Initialize would fail (and the plugins that depend\n"
    "on it) cannot be predicted; without --load, libraries are not opened either.\n"
    "\n"
    "Exit status: 0 nothing wrong (warnings allowed); 1 a file is rejected or a\n"
    "plugin would be refused or fail to load, or in the trial a plugin crashed, hung,\n"
    "failed or left something behind; 2 a usage or system error.\n";

void printUsage() {
    printf(kUsage, zosysq::kSharePointerFile, zosysq::kDefaultShareDirectory, kStatusDirectory);
}

// Set as soon as --json is among the arguments, so that even a usage
// error before it is reported as the JSON error object a script expects.
bool jsonWanted = false;

int usageError(const char* program, const std::string& message) {
    if (!message.empty()) {
        fprintf(stderr, "%s: %s\n", program, message.c_str());
    }
    fprintf(stderr, "Try `%s --help' for more information.\n", program);
    if (jsonWanted) {
        fputs(nPluginCheck::renderJsonError(message.empty() ? "usage error" : message).c_str(),
              stdout);
    }
    return kExitUsageOrSystemError;
}

// Empty when the option was taken, else what is wrong with it.
std::string takeDeploymentOption(int option, const char* value, tOptions& options) {
    if (options.deploymentGiven) {
        return "give --deployment or --query-deployment once";
    }
    options.deploymentGiven = true;
    if (option == kQueryOption) {
        options.deployment = tDeploymentSource::askSystem;
    } else if (strcmp(value, "allowed") == 0) {
        options.deployment = tDeploymentSource::assumeAllowed;
    } else if (strcmp(value, "denied") == 0) {
        options.deployment = tDeploymentSource::assumeDenied;
    } else {
        return "--deployment takes allowed or denied, not " + std::string(value);
    }
    return "";
}

// A number of seconds in (0, kLongestStepTimeoutSeconds], or from 0 when
// `zeroAllowed`; false when `value` is none.
// "A,B , C" as the Names A, B and C; empty names are left out.
std::vector<std::string> splitNames(const std::string& list) {
    std::vector<std::string> names;
    std::string name;
    for (size_t at = 0; at <= list.size(); ++at) {
        if (at == list.size() || list[at] == ',') {
            const size_t first = name.find_first_not_of(' ');
            if (first != std::string::npos) {
                names.push_back(name.substr(first, name.find_last_not_of(' ') - first + 1));
            }
            name.clear();
        } else {
            name += list[at];
        }
    }
    return names;
}

bool takeSeconds(const char* value, bool zeroAllowed, double& seconds) {
    char* end = nullptr;
    errno = 0;
    seconds = strtod(value, &end);
    return end != value && *end == '\0' && errno == 0 &&
           (seconds > 0 || (zeroAllowed && seconds == 0)) && seconds <= kLongestStepTimeoutSeconds;
}

bool anyArgumentIs(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], wanted) == 0) {
            return true;
        }
    }
    return false;
}

// Returns -1 to go on, or the exit status when the options end the process.
int parseOptions(int argc, char** argv, tOptions& options) {
    static const option kLongOptions[] = {
        {"plugins-dir", required_argument, nullptr, kPluginsDirOption},
        {"deployment", required_argument, nullptr, kDeploymentOption},
        {"query-deployment", no_argument, nullptr, kQueryOption},
        {"load", no_argument, nullptr, kLoadOption},
        {"json", no_argument, nullptr, kJsonOption},
        {"trial", no_argument, nullptr, kTrialOption},
        {"reload-plan", no_argument, nullptr, kReloadPlanOption},
        {"step-timeout", required_argument, nullptr, kStepTimeoutOption},
        {"run-for", required_argument, nullptr, kRunForOption},
        {"health", no_argument, nullptr, kHealthOption},
        {"status-dir", required_argument, nullptr, kStatusDirOption},
        {"expect", required_argument, nullptr, kExpectOption},
        {"reload", required_argument, nullptr, kReloadOption},
        {"timeout", required_argument, nullptr, kTimeoutOption},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    jsonWanted = anyArgumentIs(argc, argv, "--json");
    int option;
    while ((option = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'h':
                printUsage();
                return 0;
            case kPluginsDirOption:
                options.pluginsDirectory = optarg;
                if (options.pluginsDirectory.empty()) {
                    return usageError(argv[0], "--plugins-dir needs a directory");
                }
                break;
            case kDeploymentOption:
            case kQueryOption: {
                const std::string wrong = takeDeploymentOption(option, optarg, options);
                if (!wrong.empty()) {
                    return usageError(argv[0], wrong);
                }
                break;
            }
            case kLoadOption:
                options.load = true;
                break;
            case kJsonOption:
                options.json = true;
                break;
            case kTrialOption:
                options.trial = true;
                break;
            case kReloadPlanOption:
                options.reloadPlan = true;
                break;
            case kStepTimeoutOption:
                options.stepTimeoutGiven = true;
                if (!takeSeconds(optarg, false, options.stepTimeoutSeconds)) {
                    return usageError(argv[0],
                                      "--step-timeout takes a number of seconds above 0 "
                                      "and at most 86400, not " +
                                          std::string(optarg));
                }
                break;
            case kRunForOption:
                options.runForGiven = true;
                if (!takeSeconds(optarg, true, options.runForSeconds)) {
                    return usageError(argv[0],
                                      "--run-for takes a number of seconds from 0 to 86400, not " +
                                          std::string(optarg));
                }
                break;
            case kHealthOption:
                options.health = true;
                break;
            case kStatusDirOption:
                options.statusDirectory = optarg;
                break;
            case kExpectOption:
                for (const std::string& name : splitNames(optarg)) {
                    options.expected.push_back(name);
                }
                break;
            case kReloadOption: {
                char* end = nullptr;
                const long pid = strtol(optarg, &end, 10);
                if (end == optarg || *end != '\0' || pid <= 0 || pid > INT32_MAX) {
                    return usageError(argv[0], "--reload takes a process id, not " +
                                                   std::string(optarg));
                }
                options.reloadPid = static_cast<pid_t>(pid);
                break;
            }
            case kTimeoutOption:
                options.reloadTimeoutGiven = true;
                if (!takeSeconds(optarg, false, options.reloadTimeoutSeconds)) {
                    return usageError(argv[0],
                                      "--timeout takes a number of seconds above 0 and at "
                                      "most 86400, not " +
                                          std::string(optarg));
                }
                break;
            default:
                return usageError(argv[0], "");
        }
    }
    if (options.health &&
        (optind < argc || !options.pluginsDirectory.empty() || options.deploymentGiven ||
         options.load || options.trial || options.json || options.stepTimeoutGiven)) {
        return usageError(argv[0], "--health takes no other option than --status-dir and --expect");
    }
    if (options.reloadPid != 0 &&
        (options.health || optind < argc || !options.pluginsDirectory.empty() ||
         options.deploymentGiven || options.load || options.trial || options.json ||
         options.reloadPlan || options.stepTimeoutGiven || options.runForGiven)) {
        return usageError(argv[0], "--reload takes no other option than --timeout and --status-dir");
    }
    if (!options.statusDirectory.empty() && !options.health && options.reloadPid == 0) {
        return usageError(argv[0], "--status-dir needs --health or --reload");
    }
    if (!options.expected.empty() && !options.health) {
        return usageError(argv[0], "--expect needs --health");
    }
    if (options.reloadTimeoutGiven && options.reloadPid == 0) {
        return usageError(argv[0], "--timeout needs --reload");
    }
    options.files.assign(argv + optind, argv + argc);
    if (!options.files.empty() && !options.pluginsDirectory.empty()) {
        return usageError(argv[0], "give --plugins-dir or files, not both");
    }
    if (options.reloadPlan && options.json) {
        return usageError(argv[0], "--reload-plan prints text only");
    }
    if (options.stepTimeoutGiven && !options.trial && !options.load) {
        return usageError(argv[0], "--step-timeout needs --trial or --load");
    }
    if (options.runForGiven && !options.trial) {
        return usageError(argv[0], "--run-for needs --trial");
    }
    return -1;
}

// The description files to check, listed as the service lists them.
// Empty when listed; otherwise why the service would not list the directory.
std::string listDescriptionFiles(const tOptions& options, tCheckReport& report,
                                 std::vector<std::string>& paths) {
    if (!options.files.empty()) {
        paths = options.files;
        return "";
    }
    report.pluginsDirectory = !options.pluginsDirectory.empty()
                                  ? options.pluginsDirectory
                                  : nPluginData::getPluginsDirectory().string();
    const tPathVerdict verdict = nPluginData::checkPluginsDirectory(report.pluginsDirectory);
    if (!verdict.safe()) {
        return "it is not safe: " + visible(verdict.reason());
    }
    nPluginData::findFilesByExtension(report.pluginsDirectory, ".ini", paths);
    return "";
}

// The service's deployment step: a failed query leaves deployment allowed.
void decideDeployment(tDeploymentSource source, tCheckReport& report) {
    report.deploymentQueried = source == tDeploymentSource::askSystem;
    report.deploymentAllowed = source != tDeploymentSource::assumeDenied;
    if (report.deploymentQueried) {
        try {
            report.deploymentAllowed = zoKorvoRemoteService::isDeploymentAllowed();
        } catch (const std::exception& error) {
            report.deploymentMessage = error.what();
        }
    }
    if (!report.deploymentAllowed) {
        report.capabilityMask &= ~zoKorvoRemoteService::kDeploymentCapability;
    }
}

tCheckReport checkPlugins(const tOptions& options, const std::vector<std::string>& paths,
                          tCheckReport report) {
    std::vector<nPluginCheck::tPlacedDescription> accepted;
    report.checkedAsUid = geteuid();
    // Root's verdicts, whoever runs the checker: the service runs as root.
    tPathSafety pathSafety(tPathSafety::tTrust::rootAlone);
    for (const std::string& path : paths) {
        report.files.push_back(nPluginCheck::checkDescriptionFile(path, pathSafety));
        const nPluginCheck::tFileReport& file = report.files.back();
        if (file.listed && file.accepted) {
            accepted.push_back({path, file.description});
        }
    }
    decideDeployment(options.deployment, report);
    report.librariesLoaded = options.load;
    const std::vector<nPluginCheck::tPlacedDescription> ordered =
        nPluginCheck::inStartOrder(accepted);
    report.startOrder = options.load
                            ? nPluginCheck::predictStartPassOpeningInChildren(
                                  ordered, report.capabilityMask, options.stepTimeoutSeconds)
                            : nPluginCheck::predictStartPass(ordered, report.capabilityMask, false);
    report.acrossFiles = nPluginCheck::checkAcrossFiles(report.startOrder);
    if (options.trial) {
        // An isolated plugin runs in its own process, as its user, from the
        // trial's child as from the service.
        nPluginProcesses::enable({kPluginHost, "", {}});
        nPluginCheck::tTrialSettings settings;
        settings.stepTimeoutSeconds = options.stepTimeoutSeconds;
        settings.runForSeconds = options.runForSeconds;
        if (!options.json) {
            settings.progress = [](const std::string& line) {
                fprintf(stderr, "zoKorvoPluginCheck: trial: %s\n", line.c_str());
            };
        }
        report.trial = nPluginCheck::runTrial(nPluginCheck::admittedPlugins(report.startOrder),
                                              report.capabilityMask, settings);
    }
    return report;
}

int systemError(const tOptions& options, const std::string& message) {
    fprintf(stderr, "zoKorvoPluginCheck: %s\n", message.c_str());
    if (options.json) {
        fputs(nPluginCheck::renderJsonError(message).c_str(), stdout);
    }
    return kExitUsageOrSystemError;
}

std::string directoryFailure(const tCheckReport& report, const std::string& why) {
    return "cannot list the plugins directory " + visible(report.pluginsDirectory) + ": " + why +
           " (the service writes \"Failed to open plugins directory.\" into its status file "
           "and starts no plugin)";
}

int run(const tOptions& options) {
    tCheckReport report;
    std::vector<std::string> paths;
    try {
        const std::string unlisted = listDescriptionFiles(options, report, paths);
        if (!unlisted.empty()) {
            return systemError(options, directoryFailure(report, unlisted));
        }
    } catch (const zoerr::ExceptionBase&) {
        return systemError(options,
                           directoryFailure(report, "it does not exist or is not a directory"));
    } catch (const boost::filesystem::filesystem_error& error) {
        return systemError(options, directoryFailure(report, error.what()));
    }
    report = checkPlugins(options, paths, std::move(report));
    std::string text =
        options.json ? nPluginCheck::renderJson(report) : nPluginCheck::renderText(report);
    if (options.reloadPlan) {
        text += nPluginCheck::renderReloadPlan(kStatusDirectory, report.startOrder,
                                               report.capabilityMask);
    }
    fputs(text.c_str(), stdout);
    if (fflush(stdout) != 0) {
        return kExitUsageOrSystemError;
    }
    return nPluginCheck::exitStatusOf(report);
}

}  // namespace

int main(int argc, char** argv) {
    tOptions options;
    const int parsed = parseOptions(argc, argv, options);
    if (parsed >= 0) {
        return parsed;
    }
    const std::string statusDirectory =
        options.statusDirectory.empty() ? kStatusDirectory : options.statusDirectory;
    if (options.health) {
        nPluginCheck::tHealthOptions healthOptions;
        healthOptions.expected = options.expected;
        const nPluginCheck::tHealth health = nPluginCheck::checkHealth(
            statusDirectory, nPluginCheck::serviceProcessAlive, healthOptions);
        fputs(health.line.c_str(), stdout);
        return health.exitStatus;
    }
    // Root's verdicts, whoever runs the checker: its --load and its trial's
    // children (forked from it) load under the loader's judge as the service.
    tLoaderJudge::get().trustRootAlone();
    if (options.reloadPid != 0) {
        const nPluginCheck::tReloadResult result = nPluginCheck::reloadAndWait(
            options.reloadPid, statusDirectory, options.reloadTimeoutSeconds);
        fputs(result.line.c_str(), result.exitStatus == 0 ? stdout : stderr);
        return result.exitStatus;
    }
    try {
        return run(options);
    } catch (const std::exception& error) {
        return systemError(options, error.what());
    }
}
