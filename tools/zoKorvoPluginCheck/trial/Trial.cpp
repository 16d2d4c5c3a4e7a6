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
#include "TrialChild.h"
#include "TrialEvents.h"
#include "Wording.h"
#include "zoerr/Status.h"
#include "zoqel/quarks/synchronization.h"

namespace nPluginCheck {
namespace {

// How often the parent looks at the child and the clock between events.
constexpr int kWatchIntervalMs = 20;

std::string userName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry == nullptr ? "uid " + std::to_string(uid) : entry->pw_name;
}

std::string workingDirectory() {
    char path[PATH_MAX];
    return getcwd(path, sizeof path) == nullptr ? "(unknown)" : path;
}

// Ends and reaps every process whose parent the checker now is: what a child
// left behind, handed to the checker as their subreaper.
void endStrayProcesses() {
    for (const auto& child : childProcessesOf(getpid())) {
        kill(child.first, SIGKILL);
        waitpid(child.first, nullptr, 0);
    }
}

// What one child did, as its events and its end tell it.
class tRound {
  public:
    tRound(std::vector<size_t> planned, tTrialReport& trialReport, unsigned childNumber)
        : plan(std::move(planned)), report(trialReport), cleanupEnded(plan.size(), false) {
        for (size_t plugin : plan) {
            tPluginTrial& trial = report.plugins[plugin];
            tPluginTrial fresh;
            fresh.name = std::move(trial.name);
            fresh.file = std::move(trial.file);
            fresh.dependencies = std::move(trial.dependencies);
            fresh.child = childNumber;
            trial = std::move(fresh);
        }
    }

    // Runs the child and watches it until it ends or is ended.
    void run(const std::vector<tPlacedDescription>& plugins, uint32_t capabilityMask,
             uint64_t stepTimeoutNs) {
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
            runTrialChild(ends[1], std::move(descriptions), capabilityMask);
        }
        close(ends[1]);
        if (child < 0) {
            close(ends[0]);
            throw std::runtime_error(std::string("cannot start a child: ") + strerror(errno));
        }
        setpgid(child, child);
        watch(ends[0], stepTimeoutNs);
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
        if (openStep) {
            tPluginTrial& culprit = report.plugins[plan[openStep->first]];
            culprit.failedStep = openStep->second;
            culprit.afterClose = checkingLeftovers;
            culprit.end = hung      ? tTrialEnd::hung
                          : escaped ? tTrialEnd::escaped
                                    : tTrialEnd::crashed;
            culprit.exception = escapedType;
            settleCrash(culprit);
            settled[plan[openStep->first]] = progress = true;
        } else if (!done && !abandoned) {
            report.notes.push_back(endOutsideSteps());
        }
        return progress;
    }

  private:
    void watch(int events, uint64_t stepTimeoutNs) {
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
                return;
            }
            if (zoqel::monotonicNowNs() - lastEventNs > stepTimeoutNs) {
                hung = true;
                kill(-child, SIGKILL);
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                return;
            }
        }
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
            pending.append(block, static_cast<size_t>(count));
            size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                take(pending.substr(0, newline));
                pending.erase(0, newline + 1);
            }
        }
    }

    void take(const std::string& line) {
        tTrialEvent event;
        if (!decodeTrialEvent(line, event) ||
            (event.plugin >= plan.size() && event.kind != tTrialEventKind::done &&
             event.kind != tTrialEventKind::escaped)) {
            return;
        }
        lastEventNs = zoqel::monotonicNowNs();
        switch (event.kind) {
            case tTrialEventKind::begins:
                openStep.emplace(event.plugin, event.step.step);
                checkingLeftovers = false;
                break;
            case tTrialEventKind::raised:
                raisedException = event.step.exception;
                break;
            case tTrialEventKind::ended:
                event.step.exception = std::move(raisedException);
                raisedException.clear();
                report.plugins[plan[event.plugin]].steps.push_back(event.step);
                cleanupEnded[event.plugin] = event.step.step == tPluginStep::cleanup;
                lastEnded = "after " + std::string(pluginStepName(event.step.step)) + " of " +
                            nPluginCheck::quoted(report.plugins[plan[event.plugin]].name);
                openStep.reset();
                break;
            case tTrialEventKind::checking:
                openStep.emplace(event.plugin, tPluginStep::cleanup);
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
                done = true;
                openStep.reset();
                break;
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
        std::string how = hung ? "stopped sending for longer than the step timeout and was ended"
                          : WIFSIGNALED(status)
                              ? "ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                                    strsignal(WTERMSIG(status)) + ")"
                              : "ended with exit status " + std::to_string(WEXITSTATUS(status));
        return "child process " + std::to_string(report.plugins[plan.front()].child) + " " + how +
               " outside every plugin's step" + (lastEnded.empty() ? "" : ", " + lastEnded);
    }

    const std::vector<size_t> plan;  // positions in the trial's plugins
    tTrialReport& report;
    std::vector<bool> cleanupEnded;  // per position in the plan
    pid_t child = -1;
    int status = 0;
    uint64_t lastEventNs = 0;
    std::string pending;  // the start of a line not yet whole
    std::optional<std::pair<size_t, tPluginStep>> openStep;
    std::string raisedException;
    std::string lastEnded;
    std::string escapedType;
    bool checkingLeftovers = false;  // the open step is the look after a close
    bool done = false;
    bool abandoned = false;
    bool escaped = false;
    bool hung = false;
};

std::string whatHappenedTo(const tPluginTrial& plugin) {
    switch (plugin.end) {
        case tTrialEnd::crashed:
            return "crashed";
        case tTrialEnd::hung:
            return "hung";
        case tTrialEnd::escaped:
            return "let an exception out of the pass";
        case tTrialEnd::notTried:
            return "was not tried";
        default:
            return plugin.steps.empty() ? "did not start"
                                        : "failed (" + std::to_string(plugin.steps[0].code) + ")";
    }
}

// A plugin the trial's manager refused because a plugin it depends on
// did not start in the trial: say which, and why.
void explainRefusals(tTrialReport& report) {
    for (tPluginTrial& plugin : report.plugins) {
        if (plugin.steps.empty() || plugin.steps[0].code != zoerr::kResourceNotFound) {
            continue;
        }
        std::vector<std::string> reasons;
        for (const tPluginTrial& other : report.plugins) {
            if (&other != &plugin && !trialClean(other) &&
                std::find(plugin.dependencies.begin(), plugin.dependencies.end(), other.name) !=
                    plugin.dependencies.end()) {
                reasons.push_back(nPluginCheck::quoted(other.name) + ", which " +
                                  whatHappenedTo(other));
            }
        }
        plugin.end = tTrialEnd::notTried;
        plugin.notTriedReason =
            "refused (" + std::to_string(zoerr::kResourceNotFound) + "): it depends on " +
            (reasons.empty() ? "a plugin that did not start" : enumeration(reasons));
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
                      double stepTimeoutSeconds) {
    tTrialReport report;
    report.uid = geteuid();
    report.user = userName(report.uid);
    report.workingDirectory = workingDirectory();
    report.stepTimeoutSeconds = stepTimeoutSeconds;
    for (const tPlacedDescription& plugin : plugins) {
        tPluginTrial trial;
        trial.name = plugin.description.name;
        trial.file = plugin.file;
        trial.dependencies = plugin.description.dependencies;
        report.plugins.push_back(trial);
    }
    // What a child leaves running comes to the checker, which ends it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const auto stepTimeoutNs = static_cast<uint64_t>(stepTimeoutSeconds * 1e9);
    std::vector<bool> settled(plugins.size(), false);
    for (;;) {
        std::vector<size_t> plan;
        for (size_t plugin = 0; plugin < plugins.size(); ++plugin) {
            if (!settled[plugin]) {
                plan.push_back(plugin);
            }
        }
        if (plan.empty()) {
            break;
        }
        tRound round(plan, report, ++report.children);
        round.run(plugins, capabilityMask, stepTimeoutNs);
        if (!round.settle(settled)) {
            for (size_t plugin : plan) {
                report.plugins[plugin].end = tTrialEnd::notTried;
                report.plugins[plugin].notTriedReason =
                    "its child process ended outside every plugin's step";
            }
            break;
        }
    }
    explainRefusals(report);
    return report;
}

}  // namespace nPluginCheck
