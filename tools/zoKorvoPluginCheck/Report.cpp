#include "Report.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "TrialRender.h"
#include "text/VisibleText.h"
#include "Wording.h"

namespace nPluginCheck {
namespace {

using Json = nlohmann::ordered_json;

// A verdict in the text report, and its identifier in the JSON one.
struct tVerdictWords {
    const char* text;
    const char* kind;
};

tVerdictWords wordsFor(tStartVerdict verdict) {
    switch (verdict) {
        case tStartVerdict::refused:
            return {"refused", "refused"};
        case tStartVerdict::loadFailed:
            return {"fails to load", "load-failed"};
        default:
            return {"admitted", "admitted"};
    }
}

// ---- Text -------------------------------------------------------------------------------

std::string entryPointText(const char* entryPoint, const std::string& symbol) {
    return std::string(entryPoint) + " " + (symbol.empty() ? "(the default)" : quoted(symbol));
}

void renderDescription(std::ostringstream& text, const tPluginDescription& description) {
    text << "  plugin " << quoted(description.name) << ": depends on ";
    if (description.dependencies.empty()) {
        text << "nothing";
    }
    for (size_t i = 0; i < description.dependencies.size(); ++i) {
        text << (i == 0 ? "" : ", ") << quoted(description.dependencies[i]);
    }
    text << "; requires " << description.requires << "; library " << quoted(description.path)
         << "\n";
    text << "  entry points: " << entryPointText("Initialize", description.initializeSymbol) << ", "
         << entryPointText("Stop", description.stopSymbol) << ", "
         << entryPointText("Cleanup", description.cleanupSymbol) << "\n";
    const tPluginProcessSettings& process = description.process;
    if (process.isolation == tIsolation::process) {
        text << "  process of its own: user "
             << (process.user.empty() ? "(the service's)" : quoted(process.user)) << ", group "
             << (process.group.empty() ? "(the user's)" : quoted(process.group)) << ", restart "
             << (process.restart == tRestartPolicy::onFailure ? "on-failure" : "no")
             << ", stop timeout " << process.stopTimeoutS << " s\n";
    }
}

void renderFinding(std::ostringstream& text, const tFinding& finding, const char* severity) {
    text << "  ";
    if (finding.line > 0) {
        text << "line " << finding.line << ": ";
    }
    text << severity << ": " << finding.message << "\n";
}

void renderFile(std::ostringstream& text, const tFileReport& file) {
    text << visible(file.path) << ": ";
    if (file.accepted) {
        text << "accepted\n";
        renderDescription(text, file.description);
    } else if (!file.unsafeReason.empty()) {
        text << "rejected (unsafe): " << visible(file.unsafeReason) << "\n";
    } else {
        text << "rejected";
        if (file.code != 0) {
            text << " (" << file.code << ")";
        }
        text << "\n";
    }
    for (const tFinding& error : file.errors) {
        renderFinding(text, error, "error");
    }
    for (const tFinding& warning : file.warnings) {
        renderFinding(text, warning, "warning");
    }
}

// The checker trusts root alone whoever runs it, so that its verdicts are
// the service's; a user who runs it should know that its own files fail.
std::string checkedAsNote(const tCheckReport& report) {
    if (report.checkedAsUid == 0) {
        return "";
    }
    const std::string uid = std::to_string(report.checkedAsUid);
    return "not run as root: judged as root would judge, trusting files owned by root "
           "alone, not those of uid " +
           uid + " that runs the checker";
}

void renderDeployment(std::ostringstream& text, const tCheckReport& report) {
    text << "Deployment: ";
    if (!report.deploymentMessage.empty()) {
        text << "the system configuration could not be asked (" << report.deploymentMessage
             << "); the service writes that into its status file and leaves deployment "
                "allowed";
    } else {
        text << (report.deploymentAllowed ? "allowed" : "not allowed")
             << (report.deploymentQueried ? " (asked the system configuration)"
                                          : " (--deployment)");
    }
    text << "; capability mask " << hexadecimal(report.capabilityMask) << "\n";
}

void renderPrediction(std::ostringstream& text, size_t position,
                      const tStartPrediction& prediction) {
    text << "  " << position << ". " << quoted(prediction.plugin.description.name) << " ("
         << prediction.plugin.file << "): " << wordsFor(prediction.verdict).text;
    if (prediction.verdict != tStartVerdict::admitted) {
        text << ", " << prediction.code << ": " << prediction.reason;
    }
    text << "\n";
    for (const tLoadFailure& failure : prediction.loadFailures) {
        text << "       " << failure.what << ": " << failure.loaderText << "\n";
    }
    if (!prediction.environmentNote.empty()) {
        text << "       note: " << prediction.environmentNote << "\n";
    }
}

void renderStartOrder(std::ostringstream& text, const tCheckReport& report) {
    text << "Start order ("
         << (report.librariesLoaded ? "libraries opened and closed again; no entry point is called"
                                    : "libraries not opened: --load opens them")
         << "):\n";
    if (report.startOrder.empty()) {
        text << "  no plugin\n";
    }
    for (size_t i = 0; i < report.startOrder.size(); ++i) {
        renderPrediction(text, i + 1, report.startOrder[i]);
    }
    for (const tFileReport& file : report.files) {
        if (!file.listed && file.accepted) {
            text << "  left out: " << quoted(file.description.name) << " (" << visible(file.path)
                 << "): the service does not list a file whose name does not end in \".ini\"\n";
        }
    }
}

void renderSummary(std::ostringstream& text, const tCheckReport& report) {
    const tSummary summary = summarize(report);
    text << "Summary: " << counted(summary.files, "file") << " (" << summary.accepted
         << " accepted, " << summary.rejected << " rejected); "
         << counted(report.startOrder.size(), "plugin") << " (" << summary.admitted << " admitted, "
         << summary.refused << " refused, " << summary.loadFailed << " failing to load); "
         << counted(summary.warnings, "warning") << "\n";
}

// ---- JSON -------------------------------------------------------------------------------

Json findingsJson(const std::vector<tFinding>& findings) {
    Json list = Json::array();
    for (const tFinding& finding : findings) {
        list.push_back(
            {{"line", finding.line}, {"kind", finding.kind}, {"message", finding.message}});
    }
    return list;
}

Json descriptionJson(const tPluginDescription& description) {
    return {{"name", description.name},
            {"dependencies", description.dependencies},
            {"requires", description.requires},
            {"path", description.path},
            {"initialize", description.initializeSymbol},
            {"stop", description.stopSymbol},
            {"cleanup", description.cleanupSymbol},
            {"process", description.process.isolation != tIsolation::process
                            ? Json(nullptr)
                            : Json{{"user", description.process.user},
                                   {"group", description.process.group},
                                   {"restart", description.process.restart ==
                                                       tRestartPolicy::onFailure
                                                   ? "on-failure"
                                                   : "no"},
                                   {"stopTimeoutSec", description.process.stopTimeoutS}}}};
}

Json fileJson(const tFileReport& file) {
    return {{"path", file.path},
            {"listed", file.listed},
            {"accepted", file.accepted},
            {"code", file.code},
            {"unsafe", file.unsafeReason.empty() ? Json(nullptr) : Json(file.unsafeReason)},
            {"errors", findingsJson(file.errors)},
            {"warnings", findingsJson(file.warnings)},
            {"plugin", file.accepted ? descriptionJson(file.description) : Json(nullptr)}};
}

Json predictionJson(const tStartPrediction& prediction) {
    Json failures = Json::array();
    for (const tLoadFailure& failure : prediction.loadFailures) {
        failures.push_back({{"what", failure.what}, {"loaderText", failure.loaderText}});
    }
    return {
        {"name", prediction.plugin.description.name},
        {"file", prediction.plugin.file},
        {"verdict", wordsFor(prediction.verdict).kind},
        {"code", prediction.code},
        {"reason", prediction.reason},
        {"loadFailures", failures},
        {"environmentNote",
         prediction.environmentNote.empty() ? Json(nullptr) : Json(prediction.environmentNote)}};
}

Json summaryJson(const tCheckReport& report) {
    const tSummary summary = summarize(report);
    return {{"files", summary.files},           {"accepted", summary.accepted},
            {"rejected", summary.rejected},     {"plugins", report.startOrder.size()},
            {"admitted", summary.admitted},     {"refused", summary.refused},
            {"loadFailed", summary.loadFailed}, {"warnings", summary.warnings}};
}

}  // namespace

std::string renderText(const tCheckReport& report) {
    std::ostringstream text;
    if (!report.pluginsDirectory.empty()) {
        text << "Plugins directory: " << visible(report.pluginsDirectory) << "\n";
    }
    for (const tFileReport& file : report.files) {
        renderFile(text, file);
    }
    if (!report.acrossFiles.empty()) {
        text << "Across files:\n";
        for (const tFinding& finding : report.acrossFiles) {
            renderFinding(text, finding, "warning");
        }
    }
    if (report.checkedAsUid != 0) {
        text << "Note: " << checkedAsNote(report) << "\n";
    }
    renderDeployment(text, report);
    renderStartOrder(text, report);
    if (report.trial) {
        renderTrialText(text, *report.trial);
    }
    renderSummary(text, report);
    return text.str();
}

std::string renderJson(const tCheckReport& report) {
    Json files = Json::array();
    for (const tFileReport& file : report.files) {
        files.push_back(fileJson(file));
    }
    Json startOrder = Json::array();
    for (const tStartPrediction& prediction : report.startOrder) {
        startOrder.push_back(predictionJson(prediction));
    }
    const Json document = {
        {"pluginsDirectory",
         report.pluginsDirectory.empty() ? Json(nullptr) : Json(report.pluginsDirectory)},
        {"deployment",
         {{"allowed", report.deploymentAllowed},
          {"queried", report.deploymentQueried},
          {"message",
           report.deploymentMessage.empty() ? Json(nullptr) : Json(report.deploymentMessage)}}},
        {"capabilityMask", report.capabilityMask},
        {"librariesLoaded", report.librariesLoaded},
        {"checkedAs",
         {{"uid", report.checkedAsUid},
          {"note", report.checkedAsUid == 0 ? Json(nullptr) : Json(checkedAsNote(report))}}},
        {"files", files},
        {"acrossFiles", findingsJson(report.acrossFiles)},
        {"startOrder", startOrder},
        {"trial", report.trial ? trialJson(*report.trial) : Json(nullptr)},
        {"summary", summaryJson(report)},
        {"exitStatus", exitStatusOf(report)},
    };
    // Bytes that are not UTF-8 (a file name, a key) are replaced, not fatal.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string renderJsonError(const std::string& message) {
    const Json document = {{"error", message}, {"exitStatus", 2}};
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace nPluginCheck
