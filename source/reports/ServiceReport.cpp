#include "reports/ServiceReport.h"

#include "plugins/IsolatedPlugin.h"
#include "text/VisibleText.h"

#include "zoerr/Status.h"

const char* servicePhaseName(tServicePhase phase) {
    switch (phase) {
        case tServicePhase::starting:
            return "starting";
        case tServicePhase::running:
            return "running";
        case tServicePhase::stopping:
            return "stopping";
        case tServicePhase::aborted:
            return "aborted";
        case tServicePhase::stopped:
            break;
    }
    return "stopped";
}

const char* messageKindName(tMessageKind kind) {
    switch (kind) {
        case tMessageKind::pluginsDirectory:
            return "pluginsDirectory";
        case tMessageKind::descriptionParse:
            return "descriptionParse";
        case tMessageKind::descriptionUnsafe:
            return "descriptionUnsafe";
        case tMessageKind::deployment:
            return "deployment";
        case tMessageKind::pluginException:
            return "pluginException";
        case tMessageKind::oldLibrary:
            return "oldLibrary";
        case tMessageKind::libraryOverwritten:
            return "libraryOverwritten";
        case tMessageKind::unsafeLibrary:
            return "unsafeLibrary";
        case tMessageKind::reload:
            return "reload";
        case tMessageKind::pluginFault:
            return "pluginFault";
        case tMessageKind::pluginProcess:
            return "pluginProcess";
        case tMessageKind::metrics:
            break;
    }
    return "metrics";
}

bool messageNamesPath(tMessageKind kind) {
    return kind != tMessageKind::pluginException && kind != tMessageKind::oldLibrary &&
           kind != tMessageKind::libraryOverwritten && kind != tMessageKind::pluginFault &&
           kind != tMessageKind::unsafeLibrary && kind != tMessageKind::pluginProcess;
}

tMessageKind pluginMessageKind(tPluginNote::tKind kind) {
    switch (kind) {
        case tPluginNote::tKind::oldLibraryHeld:
            return tMessageKind::oldLibrary;
        case tPluginNote::tKind::libraryOverwritten:
            return tMessageKind::libraryOverwritten;
        case tPluginNote::tKind::unsafeLibrary:
            return tMessageKind::unsafeLibrary;
        case tPluginNote::tKind::processRefused:
        case tPluginNote::tKind::processEnded:
            return tMessageKind::pluginProcess;
        case tPluginNote::tKind::unknownException:
            break;
    }
    return tMessageKind::pluginException;
}

std::string messageLines(const std::vector<tReportMessage>& messages) {
    std::string lines;
    for (const tReportMessage& message : messages) {
        // A name in a message is another program's choice: a line feed in it
        // must not forge lines of its own.
        appendVisible(lines, message.text);
        lines += '\n';
    }
    return lines;
}

const char* pluginStateName(tPluginState state) {
    switch (state) {
        case tPluginState::started:
            return "started";
        case tPluginState::refused:
            return "refused";
        case tPluginState::failed:
            return "failed";
        case tPluginState::stopped:
            break;
    }
    return "stopped";
}

tPluginState pluginState(const tPluginRecord& record, bool stopPassRan) {
    const int32_t code = record.initializeCode;
    if (code >= 0) {
        return stopPassRan ? tPluginState::stopped : tPluginState::started;
    }
    if (code == zoerr::kFeatureUnsupported || code == zoerr::kResourceNotFound ||
        code == zoerr::kInsufficientPermissions || code == kPluginProcessRefused) {
        return tPluginState::refused;
    }
    return tPluginState::failed;
}

const char* errorConstantName(int32_t code) {
    switch (code) {
        case zoerr::kFeatureUnsupported:
            return "zoqelerr_featureUnsupported";
        case zoerr::kSoftwareFault:
            return "zoqelerr_softwareFaultQELInternalUseOnly";
        case zoerr::kInvalidParameter:
            return "zoqelerr_invalidParameter";
        case zoerr::kResourceNotFound:
            return "zoqelerr_resourceNotFound";
        case zoerr::kOsFault:
            return "zoqelerr_osFault";
        case zoerr::kInsufficientPermissions:
            return "zoqelerr_insufficientPermissions";
        default:
            return nullptr;
    }
}

tStartCounts countStartResults(const std::vector<tPluginRecord>& records) {
    tStartCounts counts;
    for (const tPluginRecord& record : records) {
        switch (pluginState(record, false)) {
            case tPluginState::refused:
                ++counts.refused;
                break;
            case tPluginState::failed:
                ++counts.failed;
                break;
            default:
                ++counts.started;
                break;
        }
    }
    return counts;
}

const char* reloadOutcomeName(tReloadOutcome outcome) {
    switch (outcome) {
        case tReloadOutcome::kept:
            return "kept";
        case tReloadOutcome::started:
            return "started";
        case tReloadOutcome::refused:
            return "refused";
        case tReloadOutcome::failed:
            return "failed";
        case tReloadOutcome::none:
            break;
    }
    return nullptr;
}

tReloadOutcome reloadOutcome(const tPluginRecord& record) {
    switch (record.reloadRole) {
        case tReloadRole::kept:
            return tReloadOutcome::kept;
        case tReloadRole::startedByReload:
            break;
        case tReloadRole::notInReload:
            return tReloadOutcome::none;
    }
    switch (pluginState(record, false)) {
        case tPluginState::refused:
            return tReloadOutcome::refused;
        case tPluginState::failed:
            return tReloadOutcome::failed;
        default:
            return tReloadOutcome::started;
    }
}

tReloadCounts countReloadOutcomes(const std::vector<tPluginRecord>& records,
                                  const std::vector<std::string>& stopped) {
    tReloadCounts counts;
    counts.stopped = stopped.size();
    for (const tPluginRecord& record : records) {
        switch (reloadOutcome(record)) {
            case tReloadOutcome::kept:
                ++counts.kept;
                break;
            case tReloadOutcome::started:
                ++counts.started;
                break;
            case tReloadOutcome::refused:
                ++counts.refused;
                break;
            case tReloadOutcome::failed:
                ++counts.failed;
                break;
            case tReloadOutcome::none:
                break;
        }
    }
    return counts;
}

const std::vector<tReportMessage>& tServiceReport::messagesOrNone() const {
    static const std::vector<tReportMessage> kNoMessages;
    return messages != nullptr ? *messages : kNoMessages;
}

const std::vector<tPluginRecord>& tServiceReport::recordsOrNone() const {
    static const std::vector<tPluginRecord> kNoRecords;
    return records != nullptr ? *records : kNoRecords;
}

std::string startSummaryText(const std::vector<tPluginRecord>& records) {
    const tStartCounts counts = countStartResults(records);
    return "Plugins: " + std::to_string(counts.started) + " started, " +
           std::to_string(counts.refused) + " refused, " + std::to_string(counts.failed) +
           " failed";
}
