#include "TrialRender.h"

#include <string.h>

#include "TrialEvents.h"
#include "Wording.h"

namespace nPluginCheck {
namespace {

using Json = nlohmann::ordered_json;

struct tTrialSummary {
    size_t clean = 0;
    size_t failed = 0;  // a negative code or an exception
    size_t crashed = 0;
    size_t hung = 0;
    size_t leftBehind = 0;
    size_t notTried = 0;
};

bool anyStepFailed(const tPluginTrial& plugin) {
    for (const tStepTrial& step : plugin.steps) {
        if (step.code < 0 || !step.exception.empty()) {
            return true;
        }
    }
    return false;
}

tTrialSummary summarizeTrial(const tTrialReport& trial) {
    tTrialSummary summary;
    for (const tPluginTrial& plugin : trial.plugins) {
        summary.clean += trialClean(plugin) ? 1 : 0;
        summary.crashed += plugin.end == tTrialEnd::crashed ? 1 : 0;
        summary.hung += plugin.end == tTrialEnd::hung ? 1 : 0;
        summary.notTried += plugin.end == tTrialEnd::notTried ? 1 : 0;
        summary.failed += plugin.end != tTrialEnd::notTried &&
                                  (anyStepFailed(plugin) || plugin.end == tTrialEnd::escaped)
                              ? 1
                              : 0;
        summary.leftBehind += plugin.leftovers.empty() ? 0 : 1;
    }
    return summary;
}

// "SIGSEGV", or the number alone for a signal without a name.
std::string signalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation == nullptr ? std::to_string(signal) : std::string("SIG") + abbreviation;
}

// ---- Text -------------------------------------------------------------------------------

std::string seconds(double value) {
    std::ostringstream text;
    text << value << " s";
    return text.str();
}

std::string endText(const tPluginTrial& plugin, const tTrialReport& trial) {
    const std::string step = pluginStepName(plugin.failedStep);
    switch (plugin.end) {
        case tTrialEnd::crashed: {
            const std::string how =
                plugin.signal != 0
                    ? "signal " + signalName(plugin.signal) + " (" + strsignal(plugin.signal) + ")"
                    : "its child process ended with exit status " +
                          std::to_string(plugin.exitStatus);
            if (plugin.afterClose) {
                return "crashed after its Cleanup and close: " + how +
                       "; a thread it left running most likely ran into its closed library";
            }
            return "crashed in " + step + ": " + how;
        }
        case tTrialEnd::hung:
            return "hung in " + step + ": still running after " +
                   seconds(trial.stepTimeoutSeconds) + ", its child process was ended";
        case tTrialEnd::escaped:
            return "threw an exception that is not a standard exception (" + plugin.exception +
                   ") out of " + step + ": it ends the service's pass";
        case tTrialEnd::notTried:
            return "not tried: " + plugin.notTriedReason;
        default:
            break;
    }
    if (trialClean(plugin)) {
        return "clean";
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

void renderSteps(std::ostringstream& text, const tPluginTrial& plugin) {
    if (plugin.steps.empty()) {
        return;
    }
    text << "       ";
    for (size_t i = 0; i < plugin.steps.size(); ++i) {
        const tStepTrial& step = plugin.steps[i];
        text << (i == 0 ? "" : ", ") << pluginStepName(step.step) << " " << step.code << " ("
             << step.timeMs << " ms)";
    }
    text << "\n";
    for (const tStepTrial& step : plugin.steps) {
        if (!step.exception.empty()) {
            text << "       " << pluginStepName(step.step) << " threw " << step.exception << "\n";
        }
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

Json pluginTrialJson(const tPluginTrial& plugin) {
    Json steps = Json::array();
    for (const tStepTrial& step : plugin.steps) {
        steps.push_back({{"step", pluginStepName(step.step)},
                         {"code", step.code},
                         {"timeMs", step.timeMs},
                         {"exception", valueOrNull(!step.exception.empty(), step.exception)}});
    }
    const bool stopped = plugin.end == tTrialEnd::crashed || plugin.end == tTrialEnd::hung ||
                         plugin.end == tTrialEnd::escaped;
    return {{"name", plugin.name},
            {"file", plugin.file},
            {"child", plugin.child},
            {"end", endKind(plugin.end)},
            {"clean", trialClean(plugin)},
            {"steps", steps},
            {"failedStep", valueOrNull(stopped, pluginStepName(plugin.failedStep))},
            {"afterClose", plugin.afterClose},
            {"signal", valueOrNull(plugin.signal != 0, plugin.signal)},
            {"signalName", valueOrNull(plugin.signal != 0, signalName(plugin.signal))},
            {"exitStatus", valueOrNull(plugin.exitStatus >= 0, plugin.exitStatus)},
            {"exception", valueOrNull(!plugin.exception.empty(), plugin.exception)},
            {"notTriedReason", valueOrNull(!plugin.notTriedReason.empty(), plugin.notTriedReason)},
            {"leftovers", Json(nlohmann::json(plugin.leftovers))}};
}

}  // namespace

void renderTrialText(std::ostringstream& text, const tTrialReport& trial) {
    text << "Trial (each admitted plugin's Initialize, Stop and Cleanup, as the service runs "
            "them):\n"
         << "  as " << trial.user << " (uid " << trial.uid << "), in " << trial.workingDirectory
         << ", with this checker's environment\n"
         << "  (the service's user, working directory and environment may differ);\n"
         << "  step timeout " << seconds(trial.stepTimeoutSeconds) << "; " << trial.children
         << (trial.children == 1 ? " child process" : " child processes") << "\n";
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
         << " clean, " << summary.failed << " failed, " << summary.crashed << " crashed, "
         << summary.hung << " hung, " << summary.leftBehind << " left something behind, "
         << summary.notTried << " not tried)\n";
}

Json trialJson(const tTrialReport& trial) {
    Json plugins = Json::array();
    for (const tPluginTrial& plugin : trial.plugins) {
        plugins.push_back(pluginTrialJson(plugin));
    }
    const tTrialSummary summary = summarizeTrial(trial);
    return {{"user", trial.user},
            {"uid", trial.uid},
            {"workingDirectory", trial.workingDirectory},
            {"environment", "the checker's"},
            {"stepTimeoutSeconds", trial.stepTimeoutSeconds},
            {"children", trial.children},
            {"plugins", plugins},
            {"notes", trial.notes},
            {"summary",
             {{"plugins", trial.plugins.size()},
              {"clean", summary.clean},
              {"failed", summary.failed},
              {"crashed", summary.crashed},
              {"hung", summary.hung},
              {"leftBehind", summary.leftBehind},
              {"notTried", summary.notTried}}}};
}

}  // namespace nPluginCheck
