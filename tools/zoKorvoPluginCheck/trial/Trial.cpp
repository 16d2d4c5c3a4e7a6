#include "Trial.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "ProcessSnapshot.h"
#include "ReportChannel.h"
#include "SignalWatch.h"
#include "TrialChild.h"
#include "TrialEvents.h"
#include "Wording.h"
#include "zoerr/Status.h"
#include "zoqel/quarks/synchronization.h"

namespace nPluginCheck {
namespace {

// How often the parent looks at the child and the clock between events.
constexpr int kWatchIntervalMs = 20;
// How deep a tree of processes a child may leave that is still ended whole.
constexpr int kStrayRounds = 16;

std::string userName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry == nullptr ? "uid " + std::to_string(uid) : entry->pw_name;
}

std::string workingDirectory() {
    char path[PATH_MAX];
    return getcwd(path, sizeof path) == nullptr ? "(unknown)" : path;
}

// Waits for `process` to end. SIGINT and SIGTERM interrupt the wait while
// the trial watches for them; the process is reaped all the same.
void reap(pid_t process, int* status) {
    while (waitpid(process, status, 0) < 0 && errno == EINTR) {
    }
}

// Ends and reaps every process whose parent the checker now is: what a child
// left behind, handed to the checker as their subreaper. Ending one may
// hand the checker its own children, so it looks again until none is left.
void endStrayProcesses() {
    for (int round = 0; round < kStrayRounds; ++round) {
        const auto children = childProcessesOf(getpid());
        if (children.empty()) {
            return;
        }
        for (const auto& child : children) {
            kill(child.first, SIGKILL);
            reap(child.first, nullptr);
        }
    }
}

// Set by SIGINT or SIGTERM while the trial runs.
volatile sig_atomic_t interruption = 0;

void noteInterruption(int) {
    interruption = 1;
}

// SIGINT and SIGTERM interrupt the trial for as long as it lives; without
// SA_RESTART they also cut the parent's wait short.
class tInterruptionWatch {
  public:
    tInterruptionWatch() {
        struct sigaction action = {};
        action.sa_handler = noteInterruption;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &formerInterrupt);
        sigaction(SIGTERM, &action, &formerTerminate);
    }
    ~tInterruptionWatch() {
        sigaction(SIGINT, &formerInterrupt, nullptr);
        sigaction(SIGTERM, &formerTerminate, nullptr);
    }
    tInterruptionWatch(const tInterruptionWatch&) = delete;
    tInterruptionWatch& operator=(const tInterruptionWatch&) = delete;

  private:
    struct sigaction formerInterrupt = {};
    struct sigaction formerTerminate = {};
};

// What one child did, as its events and its end tell it.
class tRound {
  public:
    tRound(std::vector<size_t> planned, tTrialReport& trialReport, unsigned childNumber,
           const tTrialSettings& trialSettings)
        : plan(std::move(planned)),
          report(trialReport),
          settings(trialSettings),
          number(childNumber),
          cleanupEnded(plan.size(), false),
          stream(newChannelToken()) {
        for (size_t plugin : plan) {
            report.plugins[plugin].child = childNumber;
        }
    }

    // Runs the child and watches it until it ends or is ended.
    void run(const std::vector<tPlacedDescription>& plugins, uint32_t capabilityMask) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("cannot create a pipe: ") + strerror(errno));
        }
        std::vector<tPluginDescription> descriptions;
        for (size_t plugin : plan) {
            descriptions.push_back(plugins[plugin].description);
        }
        fflush(nullptr);
        child = fork();
        if (child == 0) {
            close(ends[0]);
            runTrialChild(ends[1], stream.channelToken(), std::move(descriptions), capabilityMask,
                          settings.runForSeconds);
        }
        close(ends[1]);
        if (child < 0) {
            close(ends[0]);
            throw std::runtime_error(std::string("cannot start a child: ") + strerror(errno));
        }
        setpgid(child, child);
        watch(ends[0]);
        close(ends[0]);
        // Whatever the child left in its process group goes with it.
        kill(-child, SIGKILL);
        endStrayProcesses();
    }

    // Settles the plugins this child finished with; true when it settled any.
    bool settle(std::vector<bool>& settled) {
        bool progress = false;
        for (size_t position = 0; position < plan.size(); ++position) {
            if (cleanupEnded[position]) {
                report.plugins[plan[position]].end = tTrialEnd::completed;
                settled[plan[position]] = progress = true;
            }
        }
        if (interrupted) {
            settleInterrupted(settled);
            return true;
        }
        if (const std::optional<size_t> culprit = culpritPosition()) {
            settleFailure(report.plugins[plan[*culprit]]);
            settled[plan[*culprit]] = progress = true;
        } else if (!done && !abandoned) {
            report.notes.push_back(endOutsideSteps());
        }
        return progress;
    }

  private:
    // The plugin whose code ended the child: the one whose library holds
    // the faulting code, else the one whose step was open.
    std::optional<size_t> culpritPosition() const {
        if (faultPlugin < plan.size()) {
            return faultPlugin;
        }
        if (openStep) {
            return openStep->first;
        }
        return std::nullopt;
    }

    void settleFailure(tPluginTrial& culprit) {
        const bool inItsStep = openStep && &report.plugins[plan[openStep->first]] == &culprit;
        if (inItsStep) {
            culprit.failedStep = openStep->second;
            culprit.failedInLoad = openingLibrary;
            culprit.afterClose = checkingLeftovers;
        } else {
            // Its own thread faulted while no step of its own ran.
            culprit.inRunningPhase = running && !openStep;
            culprit.crashedDuring =
                openStep ? std::string(pluginStepName(openStep->second)) + " of " +
                               nPluginCheck::quoted(report.plugins[plan[openStep->first]].name)
                : running ? "the running phase"
                          : "the start";
        }
        const bool channelLost =
            !hung && WIFEXITED(status) && WEXITSTATUS(status) == kChannelLostExitStatus;
        culprit.end = hung          ? tTrialEnd::hung
                      : escaped     ? tTrialEnd::escaped
                      : channelLost ? tTrialEnd::brokeChannel
                                    : tTrialEnd::crashed;
        culprit.exception = escapedType;
        if (culprit.end == tTrialEnd::crashed) {
            settleCrash(culprit);
        }
        finished(culprit, culprit.end == tTrialEnd::hung ? "hung" : "ended its child process");
    }

    void settleInterrupted(std::vector<bool>& settled) {
        for (size_t position = 0; position < plan.size(); ++position) {
            tPluginTrial& plugin = report.plugins[plan[position]];
            if (!cleanupEnded[position]) {
                plugin.end = tTrialEnd::interrupted;
                plugin.inRunningPhase = running && !openStep;
                if (openStep && openStep->first == position) {
                    plugin.failedStep = openStep->second;
                    plugin.failedInLoad = openingLibrary;
                    plugin.interruptedInStep = true;
                }
            }
            settled[plan[position]] = true;
        }
    }

    void watch(int events) {
        fcntl(events, F_SETFL, O_NONBLOCK);
        bool endOfEvents = false;
        lastEventNs = zoqel::monotonicNowNs();
        for (;;) {
            pollfd readable = {events, POLLIN, 0};
            // After the end of the events only the child's end is awaited;
            // a descendant may still hold the pipe open.
            poll(endOfEvents ? nullptr : &readable, endOfEvents ? 0 : 1, kWatchIntervalMs);
            endOfEvents = readEvents(events) || endOfEvents;
            if (waitpid(child, &status, WNOHANG) == child) {
                readEvents(events);
                finishEvents();
                return;
            }
            if (interruption != 0 || zoqel::monotonicNowNs() - lastEventNs > allowedSilenceNs()) {
                interrupted = interruption != 0;
                hung = !interrupted;
                kill(-child, SIGKILL);
                kill(child, SIGKILL);
                reap(child, &status);
                readEvents(events);
                finishEvents();
                return;
            }
        }
    }

    // In the running phase no event comes until the stop begins.
    uint64_t allowedSilenceNs() const {
        const double seconds =
            settings.stepTimeoutSeconds + (running && !openStep ? settings.runForSeconds : 0);
        return static_cast<uint64_t>(seconds * 1e9);
    }

    // Reads what is there; true at the end of the events.
    bool readEvents(int events) {
        char block[4096];
        for (;;) {
            const ssize_t count = read(events, block, sizeof block);
            if (count == 0) {
                return true;
            }
            if (count < 0) {
                return errno != EAGAIN && errno != EINTR;
            }
            std::vector<tReceived> received;
            stream.take(block, static_cast<size_t>(count), received);
            takeAll(received);
        }
    }

    void finishEvents() {
        std::vector<tReceived> received;
        stream.finish(received);
        takeAll(received);
    }

    void takeAll(const std::vector<tReceived>& received) {
        for (const tReceived& item : received) {
            if (item.kind == tReceived::tKind::message) {
                take(item.text);
            } else if (item.kind == tReceived::tKind::stray) {
                channelFault("wrote " + counted(item.text.size(), "byte") +
                             " into the trial's report channel");
            } else {
                channelFault("disturbed the trial's report channel (" + item.text + ")");
            }
        }
    }

    // A fault on the channel is the fault of the plugin whose step was open.
    void channelFault(const std::string& what) {
        if (openStep) {
            report.plugins[plan[openStep->first]].channelFaults.push_back(
                what + " during its " + pluginStepName(openStep->second));
        } else {
            report.notes.push_back("a plugin " + what + (running ? " in the running phase" : "") +
                                   (lastEnded.empty() ? "" : ", " + lastEnded));
        }
    }

    void take(const std::string& message) {
        tTrialEvent event;
        if (!decodeTrialEvent(message, event)) {
            channelFault("sent a message the trial cannot read");
            return;
        }
        if (event.plugin >= plan.size() && event.kind != tTrialEventKind::done &&
            event.kind != tTrialEventKind::escaped && event.kind != tTrialEventKind::running &&
            event.kind != tTrialEventKind::fault) {
            channelFault("sent a message naming no plugin of the trial");
            return;
        }
        lastEventNs = zoqel::monotonicNowNs();
        switch (event.kind) {
            case tTrialEventKind::begins:
                openStep.emplace(event.plugin, event.step.step);
                openingLibrary = event.opening;
                checkingLeftovers = false;
                break;
            case tTrialEventKind::raised:
                raisedException = event.step.exception;
                break;
            case tTrialEventKind::ended:
                takeEnded(event);
                break;
            case tTrialEventKind::checking:
                takeEnded(event);
                openStep.emplace(event.plugin, tPluginStep::cleanup);
                openingLibrary = false;
                checkingLeftovers = true;
                break;
            case tTrialEventKind::leftovers:
                report.plugins[plan[event.plugin]].leftovers = event.leftovers;
                openStep.reset();
                break;
            case tTrialEventKind::abandoned:
                abandoned = true;
                openStep.reset();
                break;
            case tTrialEventKind::escaped:
                escaped = true;
                escapedType = event.step.exception;
                break;
            case tTrialEventKind::done:
                if (openStep) {
                    channelFault("left its step without an end");
                }
                done = true;
                openStep.reset();
                break;
            case tTrialEventKind::running:
                running = true;
                openStep.reset();
                break;
            case tTrialEventKind::fault:
                takeFault(event);
                break;
        }
    }

    void takeEnded(tTrialEvent& event) {
        event.step.exception = std::move(raisedException);
        raisedException.clear();
        event.step.child = number;
        tPluginTrial& plugin = report.plugins[plan[event.plugin]];
        plugin.steps.push_back(event.step);
        cleanupEnded[event.plugin] = event.step.step == tPluginStep::cleanup;
        lastEnded = "after " + std::string(pluginStepName(event.step.step)) + " of " +
                    nPluginCheck::quoted(plugin.name);
        openStep.reset();
        if (cleanupEnded[event.plugin]) {
            finished(plugin, "tried");
        }
    }

    void takeFault(const tTrialEvent& event) {
        faultPlugin = event.plugin;
        if (faultPlugin < plan.size()) {
            report.plugins[plan[faultPlugin]].faultLibrary = event.library;
        } else if (!openStep) {
            report.notes.push_back("child process " + std::to_string(number) +
                                   " crashed by signal " + signalName(event.signal) +
                                   (running ? " during the running phase" : "") +
                                   (event.library.empty() ? "" : " in " + event.library) +
                                   (lastEnded.empty() ? "" : ", " + lastEnded));
            faultNoted = true;
        }
    }

    void finished(const tPluginTrial& plugin, const std::string& how) const {
        if (settings.progress) {
            settings.progress(nPluginCheck::quoted(plugin.name) + " " + how + " in child process " +
                              std::to_string(number));
        }
    }

    void settleCrash(tPluginTrial& culprit) const {
        if (WIFSIGNALED(status) && !hung) {
            culprit.signal = WTERMSIG(status);
        } else if (WIFEXITED(status) && !escaped) {
            culprit.exitStatus = WEXITSTATUS(status);
        }
    }

    std::string endOutsideSteps() const {
        if (faultNoted) {
            return "the plugins of child process " + std::to_string(number) +
                   " were not tried further";
        }
        std::string how = hung ? "stopped sending for longer than the step timeout and was ended"
                          : WIFSIGNALED(status)
                              ? "ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                                    strsignal(WTERMSIG(status)) + ")"
                              : "ended with exit status " + std::to_string(WEXITSTATUS(status));
        return "child process " + std::to_string(number) + " " + how +
               (running ? " during the running phase" : " outside every plugin's step") +
               (lastEnded.empty() ? "" : ", " + lastEnded);
    }

    const std::vector<size_t> plan;  // positions in the trial's plugins
    tTrialReport& report;
    const tTrialSettings& settings;
    const unsigned number;           // of this child, from 1
    std::vector<bool> cleanupEnded;  // per position in the plan
    tReportStream stream;
    pid_t child = -1;
    int status = 0;
    uint64_t lastEventNs = 0;
    std::optional<std::pair<size_t, tPluginStep>> openStep;
    // The open step is the opening of its plugin's library, before Initialize.
    bool openingLibrary = false;
    std::string raisedException;
    std::string lastEnded;
    std::string escapedType;
    size_t faultPlugin = kNoPlugin;  // position whose library held the faulting code
    bool checkingLeftovers = false;  // the open step is the look after a close
    bool running = false;            // the running phase began
    bool done = false;
    bool abandoned = false;
    bool escaped = false;
    bool hung = false;
    bool interrupted = false;
    bool faultNoted = false;
};

std::string whatHappenedTo(const tPluginTrial& plugin) {
    switch (plugin.end) {
        case tTrialEnd::crashed:
            return "crashed";
        case tTrialEnd::hung:
            return "hung";
        case tTrialEnd::escaped:
            return "let an exception out of the pass";
        case tTrialEnd::brokeChannel:
            return "closed the trial's report channel";
        case tTrialEnd::interrupted:
            return "was interrupted";
        case tTrialEnd::notTried:
            return "was not tried";
        default:
            return plugin.steps.empty() ? "did not start"
                                        : "failed (" + std::to_string(plugin.steps[0].code) + ")";
    }
}

// Why `plugin` was refused for a dependency: the plugins it depends on that
// did not come through the trial, and what happened to them.
std::string refusalReason(const tPluginTrial& plugin, const tTrialReport& report) {
    std::vector<std::string> reasons;
    for (const tPluginTrial& other : report.plugins) {
        if (&other != &plugin && !trialWithoutProblems(other) &&
            std::find(plugin.dependencies.begin(), plugin.dependencies.end(), other.name) !=
                plugin.dependencies.end()) {
            reasons.push_back(nPluginCheck::quoted(other.name) + ", which " +
                              whatHappenedTo(other));
        }
    }
    return "refused (" + std::to_string(zoerr::kResourceNotFound) + "): it depends on " +
           (reasons.empty() ? "a plugin that did not start" : enumeration(reasons));
}

// A plugin the trial's manager refused because a plugin it depends on did
// not start in the trial: say which, and why. When it had run in an earlier
// child, what that child saw stands, and the refusal of the later one is
// only the trial's doing: it is said, not counted against the plugin.
void explainRefusals(tTrialReport& report) {
    for (tPluginTrial& plugin : report.plugins) {
        const auto lastStart = std::find_if(
            plugin.steps.rbegin(), plugin.steps.rend(),
            [](const tStepTrial& step) { return step.step == tPluginStep::initialize; });
        if (lastStart == plugin.steps.rend() || lastStart->code != zoerr::kResourceNotFound) {
            continue;
        }
        const unsigned refusingChild = lastStart->child;
        if (initializeRuns(plugin) == 0) {
            plugin.end = tTrialEnd::notTried;
            plugin.notTriedReason = refusalReason(plugin, report);
            continue;
        }
        plugin.refusedOnRetry =
            "child process " + std::to_string(refusingChild) + " " + refusalReason(plugin, report);
        plugin.steps.erase(std::remove_if(plugin.steps.begin(), plugin.steps.end(),
                                          [refusingChild](const tStepTrial& step) {
                                              return step.child == refusingChild;
                                          }),
                           plugin.steps.end());
    }
}

}  // namespace

std::vector<tPlacedDescription> admittedPlugins(const std::vector<tStartPrediction>& startOrder) {
    std::vector<tPlacedDescription> admitted;
    for (const tStartPrediction& prediction : startOrder) {
        if (prediction.verdict == tStartVerdict::admitted) {
            admitted.push_back(prediction.plugin);
        }
    }
    return admitted;
}

tTrialReport runTrial(const std::vector<tPlacedDescription>& plugins, uint32_t capabilityMask,
                      const tTrialSettings& settings) {
    tTrialReport report;
    report.uid = geteuid();
    report.user = userName(report.uid);
    report.workingDirectory = workingDirectory();
    const char* libraryPath = getenv("LD_LIBRARY_PATH");
    report.libraryPath = libraryPath == nullptr ? "" : libraryPath;
    report.stepTimeoutSeconds = settings.stepTimeoutSeconds;
    report.runForSeconds = settings.runForSeconds;
    for (const tPlacedDescription& plugin : plugins) {
        tPluginTrial trial;
        trial.name = plugin.description.name;
        trial.file = plugin.file;
        trial.dependencies = plugin.description.dependencies;
        report.plugins.push_back(trial);
    }
    // What a child leaves running comes to the checker, which ends it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    interruption = 0;
    const tInterruptionWatch interruptionWatch;
    std::vector<bool> settled(plugins.size(), false);
    while (interruption == 0) {
        std::vector<size_t> plan;
        for (size_t plugin = 0; plugin < plugins.size(); ++plugin) {
            if (!settled[plugin]) {
                plan.push_back(plugin);
            }
        }
        if (plan.empty()) {
            break;
        }
        tRound round(plan, report, ++report.children, settings);
        round.run(plugins, capabilityMask);
        if (!round.settle(settled)) {
            for (size_t plugin : plan) {
                report.plugins[plugin].end = tTrialEnd::notTried;
                report.plugins[plugin].notTriedReason =
                    "its child process ended outside every plugin's step";
            }
            break;
        }
    }
    report.interrupted = interruption != 0;
    explainRefusals(report);
    return report;
}

}  // namespace nPluginCheck
