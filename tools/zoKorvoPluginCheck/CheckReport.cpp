#include "CheckReport.h"

namespace nPluginCheck {

tSummary summarize(const tCheckReport& report) {
    tSummary summary;
    summary.files = report.files.size();
    for (const tFileReport& file : report.files) {
        ++(file.accepted ? summary.accepted : summary.rejected);
        summary.warnings += file.warnings.size();
    }
    summary.warnings += report.acrossFiles.size();
    for (const tStartPrediction& prediction : report.startOrder) {
        switch (prediction.verdict) {
            case tStartVerdict::admitted:
                ++summary.admitted;
                break;
            case tStartVerdict::refused:
                ++summary.refused;
                break;
            case tStartVerdict::loadFailed:
                ++summary.loadFailed;
                break;
        }
    }
    return summary;
}

void addError(tFileReport& report, int32_t line, const char* kind, const std::string& message) {
    report.errors.push_back(tFinding{line, kind, message});
}

void addWarning(tFileReport& report, int32_t line, const char* kind, const std::string& message) {
    report.warnings.push_back(tFinding{line, kind, message});
}

int exitStatusOf(const tCheckReport& report) {
    const tSummary summary = summarize(report);
    const bool trialFailed = report.trial && trialFoundProblems(*report.trial);
    return summary.rejected + summary.refused + summary.loadFailed == 0 && !trialFailed ? 0 : 1;
}

}  // namespace nPluginCheck
