#include "tService.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <utility>

#include "DeploymentPermission.h"
#include "FixedPaths.h"
#include "PathSafety.h"
#include "PluginOrder.h"
#include "ServiceNotifier.h"
#include "StatusFile.h"
#include "nPluginData.h"
#include "reports/Metrics.h"
#include "reports/StatusJson.h"
#include "zoerr/Status.h"
#include "zoqel/StatusRecord.h"

tService::tService()
    : stopEvent(zoqel::ThrowingStatusRecord()), capabilityMask(0xFFFFFFFF), initTimeMs(0) {
    clock_gettime(CLOCK_REALTIME, &builtAt);
    writeStatus();
}

tService::~tService() {
    phase = tServicePhase::stopped;
    writeStatus();
    if (journal != nullptr) {
        log(serviceEndedRecord(journal->droppedRecords()));
    }
}

void tService::run() {
    const uint64_t startNs = zoqel::monotonicNowNs();
    std::vector<std::string> paths;
    if (!listDescriptionFiles(paths)) {
        // Ready, and then ending: for the service manager an orderly end with
        // nothing to host, not a start that failed.
        if (notifier != nullptr) {
            notifier->announceReady("Failed to open plugins directory.");
        }
        return;
    }
    std::vector<tPluginDescription> descriptions = readDescriptions(paths);
    nPluginData::orderDescriptions(descriptions);
    queryDeploymentPermission();
    initTimeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
    writeStatus();
    pluginManager.startPlugins(std::move(descriptions), capabilityMask);
    phase = tServicePhase::running;
    writeStatus();
    if (notifier != nullptr) {
        notifier->announceReady(startSummaryText(pluginManager.getRecords()));
    }
    if (journal != nullptr) {
        log(startSummaryRecord(pluginManager.getRecords()));
    }
    stopEvent.wait();
    phase = tServicePhase::stopping;
    if (notifier != nullptr) {
        notifier->announceStopping();
    }
    if (journal != nullptr) {
        log(serviceStoppingRecord());
    }
    writeStatus();
    pluginManager.stopPlugins();
    stopPassRan = true;
    pluginManager.cleanupPlugins();
    cleanupPassRan = true;
    phase = tServicePhase::stopped;
    writeStatus();
}

bool tService::listDescriptionFiles(std::vector<std::string>& paths) {
    std::string directory;
    try {
        directory = nPluginData::getPluginsDirectory().string();
        if (journal != nullptr) {
            log(serviceStartedRecord(directory));
        }
        nPluginData::getDescriptionFiles(paths);
        return true;
    } catch (const zoerr::ExceptionBase&) {
        // Missing, or not a directory.
    } catch (const boost::filesystem::filesystem_error&) {
        // Exists but cannot be examined or listed: no less fatal to the run,
        // and the administrator must see it too.
    }
    note(tMessageKind::pluginsDirectory, directory, "Failed to open plugins directory.");
    return false;
}

std::vector<tPluginDescription> tService::readDescriptions(const std::vector<std::string>& paths) {
    std::vector<tPluginDescription> descriptions;
    descriptions.reserve(paths.size());
    tPathSafety pathSafety;
    for (const std::string& path : paths) {
        // Root reads no file that another user could have written.
        const tPathVerdict verdict = pathSafety.check(path);
        if (!verdict.safe()) {
            note(tMessageKind::descriptionUnsafe, path, "Unsafe service description file: " + path);
            if (journal != nullptr) {
                log(descriptionRejectedRecord(messages.back(), verdict.reason()));
            }
            continue;
        }
        try {
            tPluginDescription description;
            nPluginData::parseDescriptionFile(path, description);
            description.file = path;
            descriptions.push_back(std::move(description));
        } catch (const std::exception& error) {
            note(tMessageKind::descriptionParse, path,
                 "Failed to parse service description file: " + path);
            if (journal != nullptr) {
                log(descriptionRejectedRecord(messages.back(), error.what()));
            }
        }
    }
    return descriptions;
}

void tService::notifyThrough(tServiceNotifier* serviceNotifier) {
    notifier = serviceNotifier;
    pluginManager.setStepObserver(nullptr);
    stepPoster.reset();
    if (notifier != nullptr) {
        stepPoster.emplace(notifier->board());
    }
    chainStepObservers();
}

void tService::logThrough(tJournal* serviceJournal) {
    journal = serviceJournal;
    pluginManager.setStepObserver(nullptr);
    journalObserver.reset();
    if (journal != nullptr) {
        journalObserver.emplace(*journal);
    }
    chainStepObservers();
}

void tService::chainStepObservers() {
    tPluginStepObserver* poster = stepPoster ? &*stepPoster : nullptr;
    if (journalObserver) {
        journalObserver->chainTo(poster);
        pluginManager.setStepObserver(&*journalObserver);
    } else {
        pluginManager.setStepObserver(poster);
    }
}

void tService::writeMetricsTo(const std::string& path) {
    metricsDirectory.clear();
    metricsName.clear();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        return;
    }
    metricsName = path.substr(slash + 1);
    metricsDirectory = slash == 0 ? "/" : path.substr(0, slash);
    // Resolved once, as the administrator set it up; every write then walks
    // the resolved path without following a link.
    char resolved[PATH_MAX];
    if (realpath(metricsDirectory.c_str(), resolved) != nullptr) {
        metricsDirectory = resolved;
    }
}

void tService::requestStop() {
    stopEvent.set();
}

void tService::queryDeploymentPermission() {
    std::string failure;
    try {
        zoKorvoRemoteService::tDeploymentQuerySeams seams =
            zoKorvoRemoteService::systemDeploymentQuerySeams();
        if (notifier != nullptr) {
            seams.pause = pausePostedTo(notifier->board(), std::move(seams.pause));
        }
        seams.instantiateFramework = [this, instantiate = std::move(seams.instantiateFramework)](
                                         int32_t mode, uint32_t options,
                                         zosysFramework** framework) {
            ++deploymentAttempts;
            return instantiate(mode, options, framework);
        };
        if (!zoKorvoRemoteService::isDeploymentAllowed(seams)) {
            capabilityMask &= ~zoKorvoRemoteService::kDeploymentCapability;
        }
    } catch (const std::exception& error) {
        failure = error.what();
        note(tMessageKind::deployment, std::string(), failure);
    }
    if (journal != nullptr) {
        log(deploymentRecord(capabilityMask, deploymentAttempts, failure));
    }
}

void tService::note(tMessageKind kind, const std::string& subject, const std::string& text) {
    messages.push_back(tReportMessage{kind, subject, text});
}

void tService::log(const tJournalRecord& record) {
    journal->send(record);
}

tServiceReport tService::currentReport(std::vector<tReportMessage>& allMessages) const {
    allMessages = messages;
    for (const std::string& plugin : pluginManager.unknownExceptionPlugins()) {
        allMessages.push_back(
            tReportMessage{tMessageKind::pluginException, plugin, unknownExceptionLine(plugin)});
    }
    tServiceReport report;
    report.phase = phase;
    report.pid = getpid();
    report.processStart = builtAt;
    clock_gettime(CLOCK_REALTIME, &report.now);
    report.capabilityMask = capabilityMask;
    report.initTimeMs = initTimeMs;
    report.deploymentAttempts = deploymentAttempts;
    report.stopPassRan = stopPassRan;
    report.cleanupPassRan = cleanupPassRan;
    report.journalRecordsDropped = journal != nullptr ? journal->droppedRecords() : 0;
    report.messages = &allMessages;
    report.records = &pluginManager.getRecords();
    return report;
}

void tService::writeStatus() {
    try {
        writeMetrics();
        std::vector<tReportMessage> allMessages;
        const tServiceReport report = currentReport(allMessages);
        writeStatusText(report);
        std::string json = renderStatusJson(report);
        writeFileAtomically(kStatusDirectory, kStatusJsonFileName, json);
    } catch (const std::exception&) {
        // The status file is the only report there is: a failure to write it
        // has nowhere to go.
        (void)zoerr::codeFromCurrentException();
    } catch (...) {
    }
}

void tService::writeStatusText(const tServiceReport& report) {
    // The plugin text comes last in the report and is appended in place:
    // with thousands of plugins it is the bulk of the file.
    std::string text =
        composeStatusReport(report.capabilityMask, report.initTimeMs,
                            messageLines(*report.messages), std::string(), report.now.tv_sec);
    pluginManager.appendStatusText(text);
    writeFileAtomically(kStatusDirectory, kStatusFileName, text);
}

// Written first, so that a failure shows in the status written right after
// it; said once, as every later write would fail alike.
void tService::writeMetrics() {
    if (metricsName.empty()) {
        return;
    }
    try {
        std::vector<tReportMessage> allMessages;
        std::string text = renderMetrics(currentReport(allMessages));
        writeFileAtomicallyAt(openDirectoryWithoutLinks(metricsDirectory), metricsName, text);
        return;
    } catch (const std::exception&) {
        (void)zoerr::codeFromCurrentException();
    }
    const std::string path = metricsDirectory + "/" + metricsName;
    for (const tReportMessage& message : messages) {
        if (message.kind == tMessageKind::metrics) {
            return;
        }
    }
    note(tMessageKind::metrics, path, "Failed to write metrics file: " + path);
}
