#include "service/tService.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/exception.hpp>
#include <fstream>
#include <chrono>
#include <functional>
#include <sstream>
#include <utility>

#include "system/DeploymentPermission.h"
#include "service/FixedPaths.h"
#include "safety/PathSafety.h"
#include "plugins/PluginOrder.h"
#include "servicemanager/ServiceNotifier.h"
#include "plugins/PluginDiscovery.h"
#include "plugins/PluginDescriptionFile.h"
#include "plugins/DescriptionLineError.h"
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
    const std::lock_guard<std::recursive_timed_mutex> hold(stateLock);
    clock_gettime(CLOCK_REALTIME, &builtAt);
    chainStepObservers();
    writeStatus();
}

tService::~tService() {
    const std::lock_guard<std::recursive_timed_mutex> hold(stateLock);
    phase = tServicePhase::stopped;
    writeStatus();
    log([&] { return serviceEndedRecord(journal->droppedRecords()); });
}

void tService::run() {
    const std::lock_guard<std::recursive_timed_mutex> hold(stateLock);
    const uint64_t startNs = zoqel::monotonicNowNs();
    clock_gettime(CLOCK_REALTIME, &lastGoodReadAt);
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
    // Now that the libraries the service uses have registered their exit
    // handlers, the hook that names a plugin's exit goes before them.
    nPluginFaults::registerExitHooksAgain();
    pluginManager.startPlugins(std::move(descriptions), capabilityMask);
    startPassOver = true;
    log([&] { return startSummaryRecord(pluginManager.records()); });
    // Bounded: a plugin that changes its own directory at each start must not
    // keep the service from ever being ready; later changes wait for a reload.
    for (int round = 0; round < kReloadsBeforeReady && !stopRequested.load() && reloadDueBeforeReady();
         ++round) {
        reload();
    }
    changesBeforeReady.reset();
    // A stop asked for during the start is served next, before any reload:
    // the write after the start says so, and stands for the stopping write
    // too unless a journal record was dropped since. Whoever reads "running"
    // reads the state the service announces as ready.
    phase = stopRequested.load() ? tServicePhase::stopping : tServicePhase::running;
    writeStatus();
    const bool stoppingWritten = phase == tServicePhase::stopping;
    // With the last reload's failure first, when it failed.
    announceReloaded();
    for (tRequest request; (request = waitForRequest()) != tRequest::stop;) {
        if (request == tRequest::reload) {
            reload();
        } else {
            superviseProcesses();
        }
    }
    phase = tServicePhase::stopping;
    log([&] { return serviceStoppingRecord(); });
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
        if (pluginCheckRequested.exchange(false)) {
            return tRequest::pluginCheck;
        }
        if (nextRestartNs() <= zoqel::monotonicNowNs()) {
            restartDuePlugins();
            continue;
        }
        // A request made after the flags were read has set the event, so
        // this returns at once; a set left over from one already served
        // only costs another look at the flags.
        // The state lock is let go while the run cycle waits: a plugin
        // thread's exit may take it (PluginFaults.h).
        stateLock.unlock();
        bool woken = true;
        const uint64_t restartNs = nextRestartNs();
        const uint64_t metricsNs =
            metricsName.empty() ? UINT64_MAX : metricsWrittenNs + metricsIntervalNs;
        if (restartNs == UINT64_MAX && metricsNs == UINT64_MAX) {
            wakeEvent.wait();
        } else {
            woken = wakeEvent.waitUntil(std::min(restartNs, metricsNs));
        }
        stateLock.lock();
        if (!woken && metricsNs <= zoqel::monotonicNowNs()) {
            writeMetricsHeartbeat();
        }
    }
}

// Only the metrics, from the run cycle's own wait: a service whose main
// thread hangs, in a plugin's step or elsewhere, stops the heartbeat, and
// the file's age says so.
void tService::writeMetricsHeartbeat() {
    try {
        std::vector<tReportMessage> allMessages;
        tReloadReport lastReload;
        const tServiceReport report = currentReport(allMessages, lastReload);
        if (writeMetrics(report)) {
            writeStatus();
        }
    } catch (const std::exception&) {
        // No memory for the report: the next interval tries again.
        metricsWrittenNs = zoqel::monotonicNowNs();
    }
}

bool tService::reloadDueBeforeReady() {
    const bool directoryChanged = changesBeforeReady != nullptr && changesBeforeReady->anyChange();
    changesBeforeReady.reset();
    return reloadRequested.exchange(false) || directoryChanged ||
           pluginManager.anyRunningLibraryChanged();
}

void tService::reload() {
    // Before readiness the reload is part of the start, which announces its end.
    const bool partOfTheStart = !readyAnnounced;
    if (notifier != nullptr && !partOfTheStart) {
        notifier->announceReloading();
    }
    const uint64_t startNs = zoqel::monotonicNowNs();
    // Reported once the reload is over: a status written while it runs
    // still shows the one before, so that whoever waits for this one's
    // result never takes it from a write in the middle.
    timespec startedAt{};
    clock_gettime(CLOCK_REALTIME, &startedAt);
    // The report after a reload is that of this reading, as after a start;
    // the reload starts whatever is not running, a plugin due for a restart
    // too.
    messages.clear();
    pendingRestarts.clear();
    std::vector<tPluginDescription> descriptions;
    std::string failure;
    if (readPluginsDirectory(descriptions)) {
        capabilityMask = 0xFFFFFFFF;
        deploymentAttempts = 0;
        queryDeploymentPermission();
        initTimeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
        failure = reloadPlugins(std::move(descriptions));
    } else {
        pluginManager.keepEveryPluginForReload();
        failure = directoryFailure();
    }
    reloaded = true;
    lastReloadAt = startedAt;
    reloadFailure = std::move(failure);
    if (reloadFailure.empty()) {
        lastGoodReadAt = lastReloadAt;
    }
    writeStatus();
    if (!partOfTheStart) {
        announceReloaded();
    }
    log([&] {
        return reloadFailure.empty()
            ? reloadSummaryRecord(pluginManager.records(), pluginManager.stoppedByLastReload())
            : reloadFailedRecord(reloadFailure, countStartResults(pluginManager.records()).started);
    });
}

// Before the Stop of a plugin whose library was written over in place: should
// that Stop crash the service, the status and the journal have said why.
void tService::tellOfOverwrittenLibraries() {
    writeStatus();
    for (const tPluginNote& pluginNote : pluginManager.notes()) {
        if (pluginNote.kind != tPluginNote::tKind::libraryOverwritten) {
            continue;
        }
        for (const tPluginRecord& record : pluginManager.records()) {
            if (record.description.name == pluginNote.plugin &&
                record.library.running()) {
                log([&] { return libraryOverwrittenRecord(record); });
            }
        }
    }
}

std::string tService::directoryFailure() const {
    std::string failure;
    for (const tReportMessage& message : messages) {
        if (message.kind == tMessageKind::pluginsDirectory) {
            failure += (failure.empty() ? "" : " ") + message.text;
        }
    }
    return failure;
}

std::string tService::reloadPlugins(std::vector<tPluginDescription> descriptions) {
    try {
        pluginManager.reloadPlugins(
            std::move(descriptions), capabilityMask, [this] { return stopRequested.load(); },
            [this] { tellOfOverwrittenLibraries(); });
        return std::string();
    } catch (const std::exception&) {
        // Unlike a failed start, a failed reload must not end the service:
        // the plugins that run are in the records, and the stop stops them.
        std::string failure =
            "Reload failed: " + std::to_string(zoerr::codeFromCurrentException());
        note(tMessageKind::reload, std::string(), failure);
        return failure;
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
        if (!startPassOver) {
            log([&] { return serviceStartedRecord(directory); });
        }
        const tPathVerdict verdict = nPluginData::checkPluginsDirectory(pluginsDirectory);
        if (verdict.safe()) {
            // Watched before it is listed: a change from now on is seen.
            if (!readyAnnounced) {
                changesBeforeReady = std::make_unique<tDirectoryChanges>(directory);
            }
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
                log([&] { return descriptionRejectedRecord(messages.back(), verdict.reason()); });
                continue;
            }
            descriptions.push_back(std::move(description));
        } catch (const std::exception& error) {
            note(tMessageKind::descriptionParse, path,
                 "Failed to parse service description file: " + path);
            log([&] { return descriptionRejectedRecord(messages.back(), parseFailureReason(path, error)); });
        }
    }
    return descriptions;
}

// The first bad line as the checker states it, else the reader's own detail.
// The file was judged safe before it was read, and is read again only for
// the journal's words.
std::string tService::parseFailureReason(const std::string& path, const std::exception& error) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    const std::string line = firstErrorLineOf(bytes.str());
    return line.empty() ? error.what() : line;
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
    nPluginFaults::setJournal(journal != nullptr ? &journal->datagramSocket() : nullptr);
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
        faultObserver.chainTo(&*journalObserver);
    } else {
        faultObserver.chainTo(poster);
    }
    pluginManager.setStepObserver(&faultObserver);
}

void tService::writeMetricsTo(const std::string& path, unsigned intervalS) {
    metricsIntervalNs = uint64_t{intervalS} * 1000000000u;
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

void tService::requestPluginCheck() {
    pluginCheckRequested.store(true);
    wakeEvent.set();
}

void tService::requestReload() {
    reloadRequested.store(true);
    wakeEvent.set();
}

void tService::announceReady() noexcept {
    readyAnnounced = true;
    if (notifier == nullptr) {
        return;
    }
    try {
        notifier->announceReady(startSummaryText(pluginManager.records()).c_str());
    } catch (const std::exception&) {
        // No memory for the counts: ready all the same, or the stop and
        // clean-up passes would be skipped and the start never end.
        notifier->announceReady("Plugins started");
    }
}

void tService::announceReloaded() noexcept {
    readyAnnounced = true;
    if (notifier == nullptr) {
        return;
    }
    if (reloadFailure.empty()) {
        announceReady();
        return;
    }
    try {
        // The manager's status holds 127 bytes: the reason is cut, not the fact.
        notifier->announceReady(("Reload failed: " + reloadFailure).c_str());
    } catch (const std::exception&) {
        notifier->announceReady("Reload failed");
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
    log([&] { return deploymentRecord(capabilityMask, deploymentAttempts, failure); });
}

void tService::note(tMessageKind kind, const std::string& subject, const std::string& text) {
    messages.push_back(tReportMessage{kind, subject, text});
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
    report.records = recordsShown != nullptr ? recordsShown : &pluginManager.records();
    report.lastGoodReadAt = lastGoodReadAt;
    report.metricsWrittenAt = metricsWrittenAt;
    if (!metricsName.empty()) {
        report.metricsFile = metricsDirectory + "/" + metricsName;
    }
    if (reloaded) {
        lastReload.at = lastReloadAt;
        lastReload.failure = reloadFailure;
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
            // The failure, or its end, shows in the status written right after it.
            report = currentReport(allMessages, lastReload);
        }
        droppedWhenLastWritten = report.journalRecordsDropped;
        nPluginFaults::statusWritten(writeStatusFiles(kStatusDirectory, report, reportBuffer));
    } catch (const std::exception&) {
        zoerr::codeOfDroppedException(
            "the status file is the only report there is: a failure to write it has nowhere to go");
    } catch (...) {
    }
}

bool tService::journalDroppedSinceLastWrite() const {
    return journal != nullptr && journal->droppedRecords() != droppedWhenLastWritten;
}

// Written first, so that a failure shows in the status written right after
// it. Said once when writes begin to fail, and once when they work again,
// not at every heartbeat between; the answer is true at either change.
bool tService::writeMetrics(const tServiceReport& report) {
    if (metricsName.empty()) {
        return false;
    }
    bool written = false;
    if (metricsDirectoryUnsafe.empty()) {
        try {
            writeMetricsFile(metricsDirectory, metricsName, report, reportBuffer);
            written = true;
        } catch (const std::exception&) {
            // Said below, in the status, the journal and --health.
            zoerr::codeOfDroppedException("a failed metrics write is reported as such");
        }
    }
    // Counted from the attempt: a failing write is tried again one interval
    // later, not at once in a loop.
    metricsWrittenNs = zoqel::monotonicNowNs();
    if (written) {
        metricsWrittenAt = report.now;
    }
    const std::string path = metricsDirectory + "/" + metricsName;
    if (written == metricsFailing) {
        log([&] { return metricsWriteRecord(path, !written); });
    }
    metricsFailing = !written;
    // The line stands while writes fail, also after a reload cleared the messages.
    const auto noted = std::find_if(messages.begin(), messages.end(), [](const tReportMessage& m) {
        return m.kind == tMessageKind::metrics;
    });
    if (written == (noted == messages.end())) {
        return false;
    }
    if (written) {
        messages.erase(noted);
    } else {
        note(tMessageKind::metrics, path,
             metricsDirectoryUnsafe.empty()
                 ? "Failed to write metrics file: " + path
                 : "Unsafe metrics file directory, metrics file not written: " + path + " (" +
                       metricsDirectoryUnsafe + ")");
    }
    return true;
}

bool tService::reportPluginExit(const std::string& plugin, const std::string& line,
                                unsigned waitMs) noexcept {
    if (!stateLock.try_lock_for(std::chrono::milliseconds(waitMs))) {
        return false;
    }
    try {
        note(tMessageKind::pluginFault, plugin, line);
        const bool inStartPass = !startPassOver;
        phase = tServicePhase::aborted;
        const std::vector<tPluginRecord> runSoFar = recordsRunSoFar(inStartPass);
        recordsShown = &runSoFar;
        writeStatus();
        recordsShown = nullptr;
        log([&] { return pluginExitRecord(plugin, line); });
    } catch (...) {
        // No memory for the report: the line in the status file is all there is.
        recordsShown = nullptr;
    }
    return true;
}

std::vector<tPluginRecord> tService::recordsRunSoFar(bool inStartPass) const {
    std::vector<tPluginRecord> shown = pluginManager.records();
    const tPluginRecord* culprit = faultObserver.initializing();
    const std::vector<tPluginRecord>& records = pluginManager.records();
    for (size_t i = 0; i < records.size(); ++i) {
        if (&records[i] != culprit) {
            continue;
        }
        // Its Initialize never returned; in the start pass, no later one ran.
        shown[i].initializeCode = zoerr::kSoftwareFault;
        if (inStartPass) {
            shown.resize(i + 1);
        }
    }
    return shown;
}
