#include "tService.h"

#include <boost/filesystem/exception.hpp>
#include <utility>

#include "DeploymentPermission.h"
#include "FileIdentity.h"
#include "FixedPaths.h"
#include "PathSafety.h"
#include "PluginOrder.h"
#include "ServiceNotifier.h"
#include "StatusFile.h"
#include "nPluginData.h"
#include "zoerr/Status.h"
#include "zoqel/StatusRecord.h"

tService::tService()
    // Auto-reset: the flags keep what was asked for; the event only wakes.
    : wakeEvent(zoqel::ThrowingStatusRecord(), true), capabilityMask(0xFFFFFFFF), initTimeMs(0) {
    writeStatus();
}

tService::~tService() {
    writeStatus();
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
    writeStatus();
    announceReady();
    while (waitForRequest() == tRequest::reload) {
        reload();
    }
    pluginManager.stopPlugins();
    pluginManager.cleanupPlugins();
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
    // The report after a reload is that of this reading, as after a start.
    messages.clear();
    std::vector<tPluginDescription> descriptions;
    if (readPluginsDirectory(descriptions)) {
        capabilityMask = 0xFFFFFFFF;
        queryDeploymentPermission();
        initTimeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
        reloadPlugins(std::move(descriptions));
    }
    writeStatus();
    announceReady();
}

void tService::reloadPlugins(std::vector<tPluginDescription> descriptions) {
    try {
        pluginManager.reloadPlugins(std::move(descriptions), capabilityMask,
                                    [this] { return stopRequested.load(); });
    } catch (const std::exception&) {
        // Unlike a failed start, a failed reload must not end the service:
        // the plugins that run are in the records, and the stop stops them.
        messages += "Reload failed: " + std::to_string(zoerr::codeFromCurrentException()) + "\n";
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
    try {
        nPluginData::getDescriptionFiles(paths);
        return true;
    } catch (const zoerr::ExceptionBase&) {
        // Missing, or not a directory.
    } catch (const boost::filesystem::filesystem_error&) {
        // Exists but cannot be examined or listed: no less fatal to the run,
        // and the administrator must see it too.
    }
    messages += "Failed to open plugins directory.\n";
    return false;
}

std::vector<tPluginDescription> tService::readDescriptions(const std::vector<std::string>& paths) {
    std::vector<tPluginDescription> descriptions;
    descriptions.reserve(paths.size());
    tPathSafety pathSafety;
    for (const std::string& path : paths) {
        // Root reads no file that another user could have written.
        if (!pathSafety.check(path).safe()) {
            messages += "Unsafe service description file: " + path + "\n";
            continue;
        }
        try {
            tPluginDescription description;
            // Taken before the parse: a file changed in between then differs
            // from its fingerprint at the next reload, which restarts the
            // plugin rather than keep it on what it read.
            const uint64_t fingerprint = fingerprintFile(path);
            nPluginData::parseDescriptionFile(path, description);
            description.file = path;
            description.fileFingerprint = fingerprint;
            descriptions.push_back(std::move(description));
        } catch (const std::exception&) {
            messages += "Failed to parse service description file: " + path + "\n";
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
        pluginManager.setStepObserver(&*stepPoster);
    }
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
    try {
        zoKorvoRemoteService::tDeploymentQuerySeams seams =
            zoKorvoRemoteService::systemDeploymentQuerySeams();
        if (notifier != nullptr) {
            seams.pause = pausePostedTo(notifier->board(), std::move(seams.pause));
        }
        if (!zoKorvoRemoteService::isDeploymentAllowed(seams)) {
            capabilityMask &= ~zoKorvoRemoteService::kDeploymentCapability;
        }
    } catch (const std::exception& error) {
        messages += error.what();
        messages += "\n";
    }
}

void tService::writeStatus() {
    try {
        // The plugin text comes last in the report and is appended in place:
        // with thousands of plugins it is the bulk of the file.
        std::string report =
            composeStatusReport(capabilityMask, initTimeMs, messages + pluginManager.messages(),
                                std::string(), time(nullptr));
        pluginManager.appendStatusText(report);
        writeFileAtomically(kStatusDirectory, kStatusFileName, report);
    } catch (const std::exception&) {
        // The status file is the only report there is: a failure to write it
        // has nowhere to go.
        (void)zoerr::codeFromCurrentException();
    } catch (...) {
    }
}
