#include "TrialReport.h"

namespace nPluginCheck {

bool trialClean(const tPluginTrial& plugin) {
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

bool trialFoundProblems(const tTrialReport& trial) {
    for (const tPluginTrial& plugin : trial.plugins) {
        if (!trialClean(plugin)) {
            return true;
        }
    }
    return !trial.notes.empty() || trial.interrupted;
}

unsigned initializeRuns(const tPluginTrial& plugin) {
    unsigned runs = 0;
    for (const tStepTrial& step : plugin.steps) {
        runs += step.step == tPluginStep::initialize && step.ran ? 1 : 0;
    }
    return runs;
}

}  // namespace nPluginCheck
