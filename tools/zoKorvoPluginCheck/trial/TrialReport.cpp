#include "TrialReport.h"

namespace nPluginCheck {

bool trialClean(const tPluginTrial& plugin) {
    if (plugin.end != tTrialEnd::completed || !plugin.leftovers.empty()) {
        return false;
    }
    for (const tStepTrial& step : plugin.steps) {
        if (step.code < 0 || !step.exception.empty()) {
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
    return !trial.notes.empty();
}

}  // namespace nPluginCheck
