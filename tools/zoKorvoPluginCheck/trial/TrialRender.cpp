#include "TrialRender.h"

#include <string.h>

#include <cstdlib>
#include <set>

#include "SignalWatch.h"
#include "TrialEvents.h"
#include "UnloadHindrance.h"
#include "Wording.h"

namespace nPluginCheck {
namespace {

using Json = nlohmann::ordered_json;

// Every plugin counted once, by its worst finding.
struct tTrialSummary {
    size_t clean = 0;
    size_t warned = 0;  // nothing wrong, but a positive Initialize code
    size_t crashed = 0;
    size_t hung = 0;
    size_t failed = 0;  // a negative code, an exception, a finding, the channel
    size_t leftBehind = 0;
    size_t interrupted = 0;
    size_t notTried = 0;
};

bool anyStepFailed(const tPluginTrial& plugin) {
    for (const tStepTrial& step : plugin.steps) {
        if (step.code < 0 || !step.exception.empty() || !step.findings.empty()) {
            return true;
        }
    }
    return !plugin.channelFaults.empty();
}

size_t& worstFinding(const tPluginTrial& plugin, tTrialSummary& summary) {
    switch (plugin.end) {
        case tTrialEnd::crashed:
            return summary.crashed;
        case tTrialEnd::hung:
            return summary.hung;
        case tTrialEnd::escaped:
        case tTrialEnd::brokeChannel:
            return summary.failed;
        case tTrialEnd::interrupted:
            return summary.interrupted;
        case tTrialEnd::notTried:
            return summary.notTried;
        default:
            break;
    }
    if (anyStepFailed(plugin)) {
        return summary.failed;
    }
    if (!plugin.leftovers.empty()) {
        return summary.leftBehind;
    }
    return trialWarned(plugin) ? summary.warned : summary.clean;
}

tTrialSummary summarizeTrial(const tTrialReport& trial) {
    tTrialSummary summary;
    for (const tPluginTrial& plugin : trial.plugins) {
        ++worstFinding(plugin, summary);
    }
    return summary;
}

// ---- Text -------------------------------------------------------------------------------

std::string seconds(double value) {
    std::ostringstream text;
    text << value << " s";
    return text.str();
}

std::string crashText(const tPluginTrial& plugin) {
    const std::string how =
        plugin.signal != 0
            ? "signal " + signalName(plugin.signal) + " (" + strsignal(plugin.signal) + ")"
            : "its child process ended with exit status " + std::to_string(plugin.exitStatus);
    if (!plugin.crashedDuring.empty()) {
        return "crashed in " + plugin.crashedDuring + ", in its own code (" + plugin.faultLibrary +
               "): " + how;
    }
    if (plugin.afterClose) {
        return "crashed after its Cleanup and close: " + how +
               "; a thread it left running most likely ran into its closed library";
    }
    return "crashed in " + failedStepName(plugin) + ": " + how +
           (plugin.faultLibrary.empty() ? "" : ", in its own code");
}

std::string endText(const tPluginTrial& plugin, const tTrialReport& trial) {
    const std::string step = failedStepName(plugin);
    switch (plugin.end) {
        case tTrialEnd::crashed:
            return crashText(plugin);
        case tTrialEnd::hung:
            return "hung in " + step + ": still running after " +
                   seconds(trial.stepTimeoutSeconds) + ", its child process was ended";
        case tTrialEnd::escaped:
            return "threw an exception that is not a standard exception (" + plugin.exception +
                   ") out of " + step + ": it ends the service's pass";
        case tTrialEnd::brokeChannel:
            return "closed or replaced the trial's report channel in " + step +
                   ": it closes descriptors it does not own, and the trial could not follow it "
                   "further";
        case tTrialEnd::interrupted:
            return "interrupted " + (plugin.interruptedInStep ? "in " + step
                                     : plugin.inRunningPhase  ? "in the running phase"
                                                              : "before its steps ended");
        case tTrialEnd::notTried:
            return "not tried: " + plugin.notTriedReason;
        default:
            break;
    }
    if (trialClean(plugin)) {
        return "clean";
    }
    if (trialWarned(plugin)) {
        return "warned: its Initialize returned " + std::to_string(warningCode(plugin)) +
               ", a warning (the plugin runs, and the service shows the code)";
    }
    std::vector<std::string> problems;
    if (anyStepFailed(plugin)) {
        problems.push_back("failed");
    }
    if (!plugin.leftovers.empty()) {
        problems.push_back("left something behind");
    }
    return enumeration(problems);
}

std::string stepText(const tStepTrial& step) {
    return std::string(pluginStepName(step.step)) +
           (step.ran || step.code < 0
                ? " " + std::to_string(step.code) + " (" + std::to_string(step.timeMs) + " ms)"
                : " not run");
}

// One line of steps per child process that ran them.
void renderSteps(std::ostringstream& text, const tPluginTrial& plugin) {
    for (size_t i = 0; i < plugin.steps.size(); ++i) {
        const tStepTrial& step = plugin.steps[i];
        const bool firstOfChild = i == 0 || plugin.steps[i - 1].child != step.child;
        if (firstOfChild) {
            text << (i == 0 ? "" : "\n") << "       child process " << step.child << ": ";
        }
        text << (firstOfChild ? "" : ", ") << stepText(step);
    }
    if (!plugin.steps.empty()) {
        text << "\n";
    }
    // What each child saw again is said once.
    std::set<std::string> said;
    const auto sayOnce = [&text, &said](const std::string& line) {
        if (said.insert(line).second) {
            text << "       " << line << "\n";
        }
    };
    for (const tStepTrial& step : plugin.steps) {
        if (!step.exception.empty()) {
            sayOnce(std::string(pluginStepName(step.step)) + " threw " + step.exception);
        }
        for (const std::string& finding : step.findings) {
            sayOnce(std::string(pluginStepName(step.step)) + ": " + finding);
        }
    }
    for (const std::string& fault : plugin.channelFaults) {
        sayOnce(fault);
    }
    if (!plugin.refusedOnRetry.empty()) {
        text << "       tried again: " << plugin.refusedOnRetry << "\n";
    }
    const unsigned runs = initializeRuns(plugin);
    if (runs > 1) {
        text << "       its Initialize ran " << runs
             << " times, once in each child process that tried it: its side effects may "
                "have happened as often\n";
    }
}

void renderLeftovers(std::ostringstream& text, const tLeftovers& leftovers) {
    const std::pair<const char*, const std::vector<std::string>*> kinds[] = {
        {"threads still running (one outliving the close crashes the service)", &leftovers.threads},
        {"file descriptors still open", &leftovers.descriptors},
        {"child processes still there (ended by the trial)", &leftovers.processes},
        {"library still mapped after its close", &leftovers.libraries},
    };
    for (const auto& [what, items] : kinds) {
        if (!items->empty()) {
            text << "       left behind: " << what << ": " << enumeration(*items) << "\n";
        }
    }
    for (const std::string& library : leftovers.libraries) {
        text << "       why: " << whyStillMapped(library) << "\n";
    }
}

// ---- JSON -------------------------------------------------------------------------------

const char* endKind(tTrialEnd end) {
    switch (end) {
        case tTrialEnd::crashed:
            return "crashed";
        case tTrialEnd::hung:
            return "hung";
        case tTrialEnd::escaped:
            return "escaped";
        case tTrialEnd::brokeChannel:
            return "broke-channel";
        case tTrialEnd::interrupted:
            return "interrupted";
        case tTrialEnd::notTried:
            return "not-tried";
        default:
            return "completed";
    }
}

template <typename Value>
Json valueOrNull(bool present, const Value& value) {
    return present ? Json(value) : Json(nullptr);
}

// A leftover as the snapshot described it ("thread 4711 (worker)",
// "fd 7 -> /tmp/log", "process 4712 (sleep)", a library's path), as an
// object: kind, number, target (a descriptor's file, a library), name (a
// thread's or process's).
Json leftoverJson(const char* kind, const std::string& described) {
    Json leftover = {{"kind", kind}, {"number", nullptr}, {"target", nullptr}, {"name", nullptr}};
    const size_t space = described.find(' ');
    if (std::string(kind) == "library") {
        leftover["target"] = described;
        leftover["why"] = whyStillMapped(described);
        return leftover;
    }
    if (space == std::string::npos) {
        leftover["target"] = described;
        return leftover;
    }
    leftover["number"] = std::atol(described.c_str() + space + 1);
    const size_t arrow = described.find(" -> ");
    const size_t open = described.find(" (");
    const size_t close = described.rfind(')');
    if (arrow != std::string::npos) {
        leftover["target"] = described.substr(arrow + 4);
    } else if (open != std::string::npos && close != std::string::npos && close > open) {
        leftover["name"] = described.substr(open + 2, close - open - 2);
    }
    return leftover;
}

Json leftoversJson(const tLeftovers& leftovers) {
    Json listed = Json::array();
    const std::pair<const char*, const std::vector<std::string>*> kinds[] = {
        {"thread", &leftovers.threads},
        {"descriptor", &leftovers.descriptors},
        {"process", &leftovers.processes},
        {"library", &leftovers.libraries},
    };
    for (const auto& [kind, items] : kinds) {
        for (const std::string& item : *items) {
            listed.push_back(leftoverJson(kind, item));
        }
    }
    return listed;
}

Json pluginTrialJson(const tPluginTrial& plugin) {
    Json steps = Json::array();
    for (const tStepTrial& step : plugin.steps) {
        const bool ran = step.ran || step.code < 0;
        steps.push_back({{"step", pluginStepName(step.step)},
                         {"child", step.child},
                         {"ran", step.ran},
                         {"code", valueOrNull(ran, step.code)},
                         {"timeMs", valueOrNull(ran, step.timeMs)},
                         {"exception", valueOrNull(!step.exception.empty(), step.exception)},
                         {"findings", step.findings}});
    }
    const bool stopped = plugin.end == tTrialEnd::crashed || plugin.end == tTrialEnd::hung ||
                         plugin.end == tTrialEnd::escaped || plugin.end == tTrialEnd::brokeChannel;
    return {{"name", plugin.name},
            {"file", plugin.file},
            {"child", plugin.child},
            {"end", endKind(plugin.end)},
            {"clean", trialClean(plugin)},
            {"warned", trialWarned(plugin)},
            {"steps", steps},
            {"initializeRuns", initializeRuns(plugin)},
            {"failedStep", valueOrNull(stopped && !plugin.inRunningPhase, failedStepName(plugin))},
            {"afterClose", plugin.afterClose},
            {"inRunningPhase", plugin.inRunningPhase},
            {"crashedDuring", valueOrNull(!plugin.crashedDuring.empty(), plugin.crashedDuring)},
            {"faultLibrary", valueOrNull(!plugin.faultLibrary.empty(), plugin.faultLibrary)},
            {"signal", valueOrNull(plugin.signal != 0, plugin.signal)},
            {"signalName", valueOrNull(plugin.signal != 0, signalName(plugin.signal))},
            {"exitStatus", valueOrNull(plugin.exitStatus >= 0, plugin.exitStatus)},
            {"exception", valueOrNull(!plugin.exception.empty(), plugin.exception)},
            {"notTriedReason", valueOrNull(!plugin.notTriedReason.empty(), plugin.notTriedReason)},
            {"refusedOnRetry", valueOrNull(!plugin.refusedOnRetry.empty(), plugin.refusedOnRetry)},
            {"channelFaults", plugin.channelFaults},
            {"leftovers", leftoversJson(plugin.leftovers)}};
}

// What differs from the service's surroundings: it runs as root, from /,
// without LD_LIBRARY_PATH.
struct tDifference {
    const char* what;
    std::string trial;
    const char* service;
};

std::vector<tDifference> environmentDifferences(const tTrialReport& trial) {
    std::vector<tDifference> differences;
    if (trial.uid != 0) {
        differences.push_back({"user", trial.user, "root"});
    }
    if (trial.workingDirectory != "/") {
        differences.push_back({"working directory", trial.workingDirectory, "/"});
    }
    if (!trial.libraryPath.empty()) {
        differences.push_back({"LD_LIBRARY_PATH", trial.libraryPath, "unset"});
    }
    return differences;
}

}  // namespace

void renderTrialText(std::ostringstream& text, const tTrialReport& trial) {
    text << "Trial (each admitted plugin's Initialize, running phase, Stop and Cleanup, as the "
            "service runs them):\n"
         << "  as " << trial.user << " (uid " << trial.uid << "), in " << trial.workingDirectory
         << ", with this checker's environment\n";
    for (const tDifference& difference : environmentDifferences(trial)) {
        text << "  differs from the service: " << difference.what << " " << difference.trial
             << " (the service's: " << difference.service << ")\n";
    }
    if (trial.uid == 0) {
        text << "  plugin code runs as root here, with all of this checker's rights\n";
    }
    text << "  step timeout " << seconds(trial.stepTimeoutSeconds) << "; running phase "
         << seconds(trial.runForSeconds) << "; " << trial.children
         << (trial.children == 1 ? " child process" : " child processes") << "\n";
    if (trial.interrupted) {
        text << "  INTERRUPTED: the trial was ended early; what follows is what it saw so far\n";
    }
    if (trial.plugins.empty()) {
        text << "  no plugin\n";
    }
    for (size_t i = 0; i < trial.plugins.size(); ++i) {
        const tPluginTrial& plugin = trial.plugins[i];
        text << "  " << i + 1 << ". " << nPluginCheck::quoted(plugin.name) << " (" << plugin.file
             << "): " << endText(plugin, trial) << "\n";
        renderSteps(text, plugin);
        renderLeftovers(text, plugin.leftovers);
    }
    for (const std::string& note : trial.notes) {
        text << "  note: " << note << "\n";
    }
    const tTrialSummary summary = summarizeTrial(trial);
    text << "Trial summary: " << counted(trial.plugins.size(), "plugin") << " (" << summary.clean
         << " clean, " << summary.warned << " warned, " << summary.failed << " failed, "
         << summary.crashed << " crashed, " << summary.hung << " hung, " << summary.leftBehind
         << " left something behind, " << summary.notTried << " not tried"
         << (trial.interrupted ? ", " + std::to_string(summary.interrupted) + " interrupted" : "")
         << ")\n";
}

Json trialJson(const tTrialReport& trial) {
    Json plugins = Json::array();
    for (const tPluginTrial& plugin : trial.plugins) {
        plugins.push_back(pluginTrialJson(plugin));
    }
    Json differences = Json::array();
    for (const tDifference& difference : environmentDifferences(trial)) {
        differences.push_back({{"what", difference.what},
                               {"trial", difference.trial},
                               {"service", difference.service}});
    }
    const tTrialSummary summary = summarizeTrial(trial);
    return {{"user", trial.user},
            {"uid", trial.uid},
            {"workingDirectory", trial.workingDirectory},
            {"environment",
             {{"LD_LIBRARY_PATH", valueOrNull(!trial.libraryPath.empty(), trial.libraryPath)},
              {"differences", differences},
              {"pluginCodeRunsAsRoot", trial.uid == 0}}},
            {"stepTimeoutSeconds", trial.stepTimeoutSeconds},
            {"runForSeconds", trial.runForSeconds},
            {"children", trial.children},
            {"interrupted", trial.interrupted},
            {"plugins", plugins},
            {"notes", trial.notes},
            {"summary",
             {{"plugins", trial.plugins.size()},
              {"clean", summary.clean},
              {"warned", summary.warned},
              {"failed", summary.failed},
              {"crashed", summary.crashed},
              {"hung", summary.hung},
              {"leftBehind", summary.leftBehind},
              {"notTried", summary.notTried},
              {"interrupted", summary.interrupted}}}};
}

}  // namespace nPluginCheck
