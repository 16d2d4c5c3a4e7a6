#include "tService.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <functional>
#include <utility>

#include "DeploymentPermission.h"
#include "FixedPaths.h"
#include "PathSafety.h"
#include "PluginOrder.h"
#include "ServiceNotifier.h"
#include "nPluginData.h"
#include "reports/ReportFiles.h"
#include "zoerr/Status.h"
#include "zoqel/StatusRecord.h"

namespace {

// The test variant's tests may shorten the deployment query's pauses (see
// FixedPaths.h); wherever a pause is reported it still counts as the full one.
std::function<void(uint32_t)> pauseOfThisVariant(std::function<void(uint32_t)> pause) {
    const char* shortened =
        kDeploymentPauseVariable != nullptr ? getenv(kDeploymentPauseVariable) : nullptr;
    if (shortened == nullptr) {
        return pause;
    }
    const auto shortenedMs = static_cast<uint32_t>(strtoul(shortened, nullptr, 10));
    return [shortenedMs, pause = std::move(pause)](uint32_t) { pause(shortenedMs); };
}

}  // namespace

tService::tService()
    // Auto-reset: the flags keep what was asked for; the event only wakes.
    : wakeEvent(zoqel::ThrowingStatusRecord(), true), capabilityMask(0xFFFFFFFF), initTimeMs(0) {
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
    std::vector<tPluginDescription> descriptions;
    if (!readPluginsDirectory(descriptions)) {
        // Ready, and then ending: for the service manager an orderly end with
        // nothing to host, not a start that failed. The status file says so
        // before the manager does.
        if (notifier != nullptr) {
            writeStatus();
            notifier->announceReady("Failed to open plugins directory.");
        }
        return;
    }
    queryDeploymentPermission();
    initTimeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
    writeStatus();
    pluginManager.startPlugins(std::move(descriptions), capabilityMask);
    // A stop asked for during the start pass is served next, before any
    // reload: the write after the pass says so, and stands for the stopping
    // write too unless a journal record was dropped since.
    phase = stopRequested.load() ? tServicePhase::stopping : tServicePhase::running;
    writeStatus();
    const bool stoppingWritten = phase == tServicePhase::stopping;
    announceReady();
    if (journal != nullptr) {
        log(startSummaryRecord(pluginManager.getRecords()));
    }
    while (waitForRequest() == tRequest::reload) {
        reload();
    }
    phase = tServicePhase::stopping;
    if (journal != nullptr) {
        log(serviceStoppingRecord());
    }
    if (!stoppingWritten || journalDroppedSinceLastWrite()) {
        writeStatus();
    }
    pluginManager.stopPlugins();
    stopPassRan = true;
    pluginManager.cleanupPlugins();
    cleanupPassRan = true;
    phase = tServicePhase::stopped;
    writeStatus();
}

tService::tRequest tService::waitForRequest() {
    for (;;) {
        if (stopRequested.load()) {
            return tRequest::stop;
        }
        if (reloadRequested.exchange(false)) {
            return tRequest::reload;
        }
        // A request made after the flags were read has set the event, so
        // this returns at once; a set left over from one already served
        // only costs another look at the flags.
        wakeEvent.wait();
    }
}

void tService::reload() {
    if (notifier != nullptr) {
        notifier->announceReloading();
    }
    const uint64_t startNs = zoqel::monotonicNowNs();
    clock_gettime(CLOCK_REALTIME, &lastReloadAt);
    reloaded = true;
    // The report after a reload is that of this reading, as after a start.
    messages.clear();
    std::vector<tPluginDescription> descriptions;
    if (readPluginsDirectory(descriptions)) {
        capabilityMask = 0xFFFFFFFF;
        deploymentAttempts = 0;
        queryDeploymentPermission();
        initTimeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
        reloadPlugins(std::move(descriptions));
    } else {
        pluginManager.keepEveryPluginForReload();
    }
    writeStatus();
    announceReady();
    if (journal != nullptr) {
        log(reloadSummaryRecord(pluginManager.getRecords(), pluginManager.stoppedByLastReload()));
    }
}

void tService::reloadPlugins(std::vector<tPluginDescription> descriptions) {
    try {
        pluginManager.reloadPlugins(std::move(descriptions), capabilityMask,
                                    [this] { return stopRequested.load(); });
    } catch (const std::exception&) {
        // Unlike a failed start, a failed reload must not end the service:
        // the plugins that run are in the records, and the stop stops them.
        note(tMessageKind::reload, std::string(),
             "Reload failed: " + std::to_string(zoerr::codeFromCurrentException()));
    }
}

bool tService::readPluginsDirectory(std::vector<tPluginDescription>& descriptions) {
    std::vector<std::string> paths;
    if (!listDescriptionFiles(paths)) {
        return false;
    }
    descriptions = readDescriptions(paths);
    nPluginData::orderDescriptions(descriptions);
    return true;
}

bool tService::listDescriptionFiles(std::vector<std::string>& paths) {
    std::string directory;
    try {
        const boost::filesystem::path pluginsDirectory = nPluginData::getPluginsDirectory();
        directory = pluginsDirectory.string();
        // The service's start is logged once, not at each reload.
        if (journal != nullptr && phase == tServicePhase::starting) {
            log(serviceStartedRecord(directory));
        }
        const tPathVerdict verdict = nPluginData::checkPluginsDirectory(pluginsDirectory);
        if (verdict.safe()) {
            nPluginData::findFilesByExtension(pluginsDirectory, ".ini", paths);
            return true;
        }
        // "Unsafe" says that another user could change it; a directory that
        // cannot be looked up (a loop of links) merely cannot be opened.
        if (verdict.fault != tPathVerdict::tFault::unexamined) {
            note(tMessageKind::pluginsDirectory, directory,
                 "Unsafe plugins directory: " + directory);
        }
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
        try {
            tPluginDescription description;
            // Root reads no file that another user could have written.
            const tPathVerdict verdict =
                nPluginData::readDescriptionFile(pathSafety, path, description);
            if (!verdict.safe()) {
                note(tMessageKind::descriptionUnsafe, path,
                     "Unsafe service description file: " + path);
                if (journal != nullptr) {
                    log(descriptionRejectedRecord(messages.back(), verdict.reason()));
                }
                continue;
            }
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
    // Root writes nothing where another user could swap the file for a link
    // or read it half-written under a name of their own.
    const tPathVerdict verdict = tPathSafety().check(metricsDirectory);
    metricsDirectoryUnsafe = verdict.safe() ? "" : verdict.reason();
}

void tService::requestStop() {
    // Told before the main thread wakes, and whatever step holds it: from now
    // on the manager bounds the stop, and no start timeout is extended.
    if (notifier != nullptr) {
        notifier->announceStopping();
    }
    stopRequested.store(true);
    wakeEvent.set();
}

void tService::requestReload() {
    reloadRequested.store(true);
    wakeEvent.set();
}

void tService::announceReady() noexcept {
    if (notifier == nullptr) {
        return;
    }
    try {
        notifier->announceReady(startSummaryText(pluginManager.getRecords()).c_str());
    } catch (const std::exception&) {
        // No memory for the counts: ready all the same, or the stop and
        // clean-up passes would be skipped and the start never end.
        notifier->announceReady("Plugins started");
    }
}

void tService::queryDeploymentPermission() {
    std::string failure;
    try {
        zoKorvoRemoteService::tDeploymentQuerySeams seams =
            zoKorvoRemoteService::systemDeploymentQuerySeams();
        seams.pause = pauseOfThisVariant(std::move(seams.pause));
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

tServiceReport tService::currentReport(std::vector<tReportMessage>& allMessages,
                                       tReloadReport& lastReload) const {
    allMessages = messages;
    for (const tPluginNote& pluginNote : pluginManager.notes()) {
        allMessages.push_back(tReportMessage{pluginMessageKind(pluginNote.kind), pluginNote.plugin,
                                             pluginNoteLine(pluginNote)});
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
    if (reloaded) {
        lastReload.at = lastReloadAt;
        lastReload.stopped = &pluginManager.stoppedByLastReload();
        report.reload = &lastReload;
    }
    return report;
}

void tService::writeStatus() {
    try {
        std::vector<tReportMessage> allMessages;
        tReloadReport lastReload;
        tServiceReport report = currentReport(allMessages, lastReload);
        if (writeMetrics(report)) {
            // The failure is a line of the status written right after it.
            report = currentReport(allMessages, lastReload);
        }
        droppedWhenLastWritten = report.journalRecordsDropped;
        writeStatusFiles(kStatusDirectory, report, reportBuffer);
    } catch (const std::exception&) {
        // The status file is the only report there is: a failure to write it
        // has nowhere to go.
        (void)zoerr::codeFromCurrentException();
    } catch (...) {
    }
}

bool tService::journalDroppedSinceLastWrite() const {
    return journal != nullptr && journal->droppedRecords() != droppedWhenLastWritten;
}

// Written first, so that a failure shows in the status written right after
// it; said once, as every later write would fail alike.
bool tService::writeMetrics(const tServiceReport& report) {
    if (metricsName.empty()) {
        return false;
    }
    if (metricsDirectoryUnsafe.empty()) {
        try {
            writeMetricsFile(metricsDirectory, metricsName, report, reportBuffer);
            return false;
        } catch (const std::exception&) {
            (void)zoerr::codeFromCurrentException();
        }
    }
    const std::string path = metricsDirectory + "/" + metricsName;
    for (const tReportMessage& message : messages) {
        if (message.kind == tMessageKind::metrics) {
            return false;
        }
    }
    note(tMessageKind::metrics, path,
         metricsDirectoryUnsafe.empty()
             ? "Failed to write metrics file: " + path
             : "Unsafe metrics file directory, metrics file not written: " + path + " (" +
                   metricsDirectoryUnsafe + ")");
    return true;
}
