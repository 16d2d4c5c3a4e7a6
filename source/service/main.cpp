// The process: command line, optional detaching, the signal-driven shutdown
// through a signal thread, and the single tService.
//
// The main thread builds the service and spends the life of the process in
// its run cycle. SIGINT, SIGTERM and SIGHUP are blocked before any other
// thread exists, and a signal thread takes them with sigwaitinfo(): SIGINT
// or SIGTERM becomes requestStop(), SIGHUP requestReload(). Nothing of it is
// a descriptor, so no plugin that closes or scribbles on descriptors can keep
// the service from stopping. When a plugin ends the process (exit, a crash),
// the plugin-fault handlers say which one before it goes (PluginFaults.h).
// When the service manager gave the process a notification socket, a
// notifier with a watching thread of its own tells it what the service is
// doing; without one nothing of it exists. What the manager passed in the
// environment is taken out of it first thing, before any plugin can see it.
// When standard error is the journal, the service's events go to it as
// records; else nothing is logged. A service that cannot start says so in one
// line on standard error (the journal's, under the manager) and exits 1.
// After the run cycle the process tears the service down, restores the
// default dispositions and re-raises the caught signal, so that it ends the
// way an unhandled SIGINT or SIGTERM would have ended it.
//
// One convention for the steps below: a step returns tExit, std::nullopt to
// go on, or the exit status the process ends with, the reason already said.
#include <errno.h>
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "service/FixedPaths.h"
#include "servicemanager/ServiceManagerEnvironment.h"
#include "servicemanager/ServiceNotifier.h"
#include "pluginprocess/PluginProcesses.h"
#include "reports/StatusFile.h"
#include "reports/Journal.h"
#include "service/PluginFaults.h"
#include "service/SignalThread.h"
#include "service/tService.h"
#include "zoerr/Status.h"

namespace {

using tExit = std::optional<int>;
constexpr int kExitFailure = 1;

std::unique_ptr<tService> theService;

// How long one plugin step may hold the start before the service stops
// extending the manager's start timeout, in seconds: the default, and the most
// an administrator may set.
constexpr unsigned long kDefaultStartStepLimitS = 120;
constexpr unsigned long kMaxStartStepLimitS = 300;
// getopt_long's values for the options that have no short form.
constexpr int kStartStepLimitOption = 256;
constexpr int kMetricsFileOption = 257;
constexpr int kMetricsIntervalOption = 258;
// How often the metrics file is rewritten while nothing happens, in seconds:
// the default, and the most an administrator may set (a day).
constexpr unsigned long kDefaultMetricsIntervalS = 60;
constexpr unsigned long kMaxMetricsIntervalS = 86400;

const char kUsage[] =
    "Usage: zoKorvoRemoteService [OPTIONS]\n"
    "  -d, --daemon   use daemon(3) to run in the background\n"
    "      --start-step-limit SECONDS\n"
    "                 stop extending the service manager's start timeout once\n"
    "                 one plugin step has run this long (1 to 300, default 120)\n"
    "      --metrics-file PATH\n"
    "                 also write the status as Prometheus metrics to PATH (absolute),\n"
    "                 e.g. in node_exporter's textfile directory\n"
    "      --metrics-interval SECONDS\n"
    "                 rewrite the metrics file at least this often while the\n"
    "                 service runs (1 to 86400, default 60)\n"
    "  -h, --help     display this help and exit\n";

struct tOptions {
    bool detach = false;
    unsigned long startStepLimitS = kDefaultStartStepLimitS;
    std::string metricsFile;  // empty: no metrics file
    unsigned long metricsIntervalS = kDefaultMetricsIntervalS;
};

// Restores the default of SIGINT and SIGTERM, ignores SIGHUP (a reload
// asked for during the teardown ends nothing) and unblocks the three; then
// raises `stopSignal`, when one stopped the service, so that the process ends
// the way an unhandled SIGINT or SIGTERM would have ended it. A stop signal
// still pending ends the process here too.
void endBySignal(int stopSignal) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    sigset_t signals;
    sigemptyset(&signals);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        action.sa_handler = sig == SIGHUP ? SIG_IGN : SIG_DFL;
        sigaction(sig, &action, nullptr);
        sigaddset(&signals, sig);
    }
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    if (stopSignal != 0) {
        raise(stopSignal);
    }
}

// The one line of a service that cannot start, and its exit status.
tExit cannotStart(const char* what) {
    fprintf(stderr, "zoKorvoRemoteService: cannot start: %s\n", what);
    return kExitFailure;
}

// Runs `operation`; false when it failed. `whyDropped` says why the failure
// itself goes no further: the caller reports it, or the status file already
// does. Exceptions that are not standard ones (a plugin may throw anything)
// are dropped too, so the signal thread is always joined before the teardown.
template <typename Operation>
bool succeeded(Operation operation, const char* whyDropped) {
    try {
        operation();
        return true;
    } catch (const std::exception&) {
        zoerr::codeOfDroppedException(whyDropped);
    } catch (...) {
    }
    return false;
}

// The service's own operations report what failed in the status file.
constexpr char kReportedInTheStatus[] = "the service reports its failures in the status file";

tExit createService() {
    // The holder is empty here; reset() destroys any earlier object before
    // the new one is taken.
    if (!succeeded([] { theService.reset(new tService()); }, "said as the service cannot start")) {
        return cannotStart("the service object cannot be made (no memory)");
    }
    return std::nullopt;
}

void runService() {
    succeeded([] { theService->run(); }, kReportedInTheStatus);
}

void stopService(int) {
    succeeded([] { theService->requestStop(); }, kReportedInTheStatus);
}

void reloadService() {
    succeeded([] { theService->requestReload(); }, kReportedInTheStatus);
}

void destroyService() {
    succeeded([] { theService.reset(); }, kReportedInTheStatus);
}

void printHint(const char* program) {
    fprintf(stderr, "Try `%s --help' for more information.\n", program);
}

// A whole number of seconds from 1 to `most`; false otherwise.
bool parseSeconds(const char* text, unsigned long most, unsigned long& seconds) {
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    seconds = strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && seconds >= 1 && seconds <= most;
}

// optarg as whole seconds from 1 to `most`; false, having said so with the
// hint, otherwise.
bool parseSecondsOption(const char* program, const char* name, unsigned long most,
                        unsigned long& seconds) {
    if (parseSeconds(optarg, most, seconds)) {
        return true;
    }
    fprintf(stderr, "%s: %s takes whole seconds from 1 to %lu\n", program, name, most);
    printHint(program);
    return false;
}

// Ends the process with 0 after --help, with 1 after a usage error.
tExit parseOptions(int argc, char** argv, tOptions& options) {
    static const option kLongOptions[] = {
        {"daemon", no_argument, nullptr, 'd'},
        {"start-step-limit", required_argument, nullptr, kStartStepLimitOption},
        {"metrics-file", required_argument, nullptr, kMetricsFileOption},
        {"metrics-interval", required_argument, nullptr, kMetricsIntervalOption},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "dh", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'd':
                options.detach = true;
                break;
            case kStartStepLimitOption:
                if (!parseSecondsOption(argv[0], "--start-step-limit", kMaxStartStepLimitS,
                                        options.startStepLimitS)) {
                    return kExitFailure;
                }
                break;
            case kMetricsFileOption:
                // The working directory of a service is nothing to rely on,
                // and a directory alone names no file.
                if (optarg[0] != '/' || optarg[strlen(optarg) - 1] == '/') {
                    fprintf(stderr, "%s: --metrics-file needs an absolute path of a file\n",
                            argv[0]);
                    printHint(argv[0]);
                    return kExitFailure;
                }
                options.metricsFile = optarg;
                break;
            case kMetricsIntervalOption:
                if (!parseSecondsOption(argv[0], "--metrics-interval", kMaxMetricsIntervalS,
                                        options.metricsIntervalS)) {
                    return kExitFailure;
                }
                break;
            case 'h':
                printf("%s", kUsage);
                return 0;
            default:
                printHint(argv[0]);
                return kExitFailure;
        }
    }
    return std::nullopt;
}

tExit detachOnRequest(const tOptions& options) {
    if (options.detach && daemon(0, 0) != 0) {
        return cannotStart("daemon(3) failed");
    }
    return std::nullopt;
}

// The notifier when the service manager asked for notifications.
tExit createNotifier(std::unique_ptr<tServiceNotifier>& notifier,
                     const tServiceManagerEnvironment& environment,
                     unsigned long startStepLimitS) {
    const uint64_t startStepLimitUs = uint64_t{startStepLimitS} * 1000000;
    if (!succeeded(
            [&] { notifier = tServiceNotifier::createWhenAsked(environment, startStepLimitUs); },
            "said as the service cannot start")) {
        return cannotStart("the service manager's notification socket cannot be used");
    }
    return std::nullopt;
}

// The journal when the service's standard error is the journal.
tExit createJournal(std::unique_ptr<tJournal>& journal) {
    if (!succeeded([&journal] { journal = tJournal::createWhenStderrIsJournal(kJournalSocket); },
                   "said as the service cannot start")) {
        return cannotStart("the journal's socket cannot be used");
    }
    return std::nullopt;
}

// Runs the service from construction to destruction; returns the exit code
// and sets `stopSignal` to the signal that stopped it, if one did.
int serve(int& stopSignal, const tServiceManagerEnvironment& environment, const tOptions& options) {
    std::unique_ptr<tServiceNotifier> notifier;
    std::unique_ptr<tJournal> journal;
    if (const tExit end = createNotifier(notifier, environment, options.startStepLimitS)) {
        return *end;
    }
    if (const tExit end = createJournal(journal)) {
        return *end;
    }
    if (const tExit end = createService()) {
        return *end;
    }
    theService->notifyThrough(notifier.get());
    theService->logThrough(journal.get());
    theService->writeMetricsTo(options.metricsFile,
                               static_cast<unsigned>(options.metricsIntervalS));
    nPluginFaults::setReporter(theService.get());
    // Plugins in processes of their own are spawned by this, the main,
    // thread, which runs every plugin step (see PluginProcesses.h); their
    // output goes where the service's records go.
    nPluginProcesses::enable({kPluginHost, journal ? kJournalSocket : "",
                              [] { theService->requestPluginCheck(); }});
    tSignalThread signals(stopService, reloadService);
    if (!signals.start()) {
        nPluginProcesses::disable();
        nPluginFaults::setReporter(nullptr);
        notifier.reset();
        destroyService();
        return *cannotStart("the signal thread cannot be started");
    }
    runService();
    // Every plugin process was ended by the clean-up pass; the watcher's
    // thread, which may wake the service, ends before the service goes.
    nPluginProcesses::disable();
    // Signals that come from now on stay pending until the end below.
    signals.end();
    stopSignal = signals.stopSignal();
    // The notifier's thread reads the plugin records' names: it ends first.
    theService->notifyThrough(nullptr);
    notifier.reset();
    // A plugin thread left behind that calls exit() from now on has its
    // line written without the service.
    nPluginFaults::setReporter(nullptr);
    // The service logs its end as it is destroyed: the journal outlives it.
    destroyService();
    nPluginFaults::setJournal(nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any other thread exists, so that every thread inherits the block.
    if (tSignalThread::blockStopSignals() != 0) {
        return *cannotStart("SIGINT, SIGTERM and SIGHUP cannot be blocked");
    }
    const tServiceManagerEnvironment environment = takeServiceManagerEnvironment();
    tOptions options;
    if (const tExit end = parseOptions(argc, argv, options)) {
        return *end;
    }
    if (const tExit end = detachOnRequest(options)) {
        return *end;
    }
    const std::string statusDirectory = kStatusDirectory;
    nPluginFaults::install(statusDirectory + "/" + kStatusFileName,
                           statusDirectory + "/." + kStatusFileName + ".tmp");
    int stopSignal = 0;
    const int exitCode = serve(stopSignal, environment, options);
    nPluginFaults::orderlyEnd();
    endBySignal(stopSignal);
    return exitCode;
}
