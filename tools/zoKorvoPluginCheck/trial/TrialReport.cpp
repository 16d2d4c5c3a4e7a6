#include "TrialReport.h"

namespace nPluginCheck {

bool trialWithoutProblems(const tPluginTrial& plugin) {
    if (plugin.end != tTrialEnd::completed || !plugin.leftovers.empty() ||
        !plugin.channelFaults.empty()) {
        return false;
    }
    for (const tStepTrial& step : plugin.steps) {
        if (step.code < 0 || !step.exception.empty() || !step.findings.empty()) {
            return false;
        }
    }
    return true;
}

int32_t warningCode(const tPluginTrial& plugin) {
    for (const tStepTrial& step : plugin.steps) {
        if (step.step == tPluginStep::initialize && step.code > 0) {
            return step.code;
        }
    }
    return 0;
}

bool trialWarned(const tPluginTrial& plugin) {
    return trialWithoutProblems(plugin) && warningCode(plugin) > 0;
}

bool trialClean(const tPluginTrial& plugin) {
    return trialWithoutProblems(plugin) && warningCode(plugin) == 0;
}

bool trialFoundProblems(const tTrialReport& trial) {
    for (const tPluginTrial& plugin : trial.plugins) {
        if (!trialWithoutProblems(plugin)) {
            return true;
        }
    }
    return !trial.notes.empty() || trial.interrupted;
}

std::string failedStepName(const tPluginTrial& plugin) {
    return plugin.failedInLoad ? "Load" : pluginStepName(plugin.failedStep);
}

unsigned initializeRuns(const tPluginTrial& plugin) {
    unsigned runs = 0;
    for (const tStepTrial& step : plugin.steps) {
        runs += step.step == tPluginStep::initialize && step.ran ? 1 : 0;
    }
    return runs;
}

}  // namespace nPluginCheck
