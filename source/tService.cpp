#include "tService.h"

#include <boost/filesystem/exception.hpp>
#include <utility>

#include "DeploymentPermission.h"
#include "FixedPaths.h"
#include "PathSafety.h"
#include "PluginOrder.h"
#include "ServiceNotifier.h"
#include "StatusFile.h"
#include "VisibleText.h"
#include "nPluginData.h"
#include "zoerr/Status.h"
#include "zoqel/StatusRecord.h"

tService::tService()
    : stopEvent(zoqel::ThrowingStatusRecord()), capabilityMask(0xFFFFFFFF), initTimeMs(0) {
    writeStatus();
}

tService::~tService() {
    writeStatus();
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
    writeStatus();
    if (notifier != nullptr) {
        notifier->announceReady(startSummaryText(pluginManager.getRecords()));
    }
    stopEvent.wait();
    if (notifier != nullptr) {
        notifier->announceStopping();
    }
    pluginManager.stopPlugins();
    pluginManager.cleanupPlugins();
    writeStatus();
}

bool tService::listDescriptionFiles(std::vector<std::string>& paths) {
    try {
        const boost::filesystem::path directory = nPluginData::getPluginsDirectory();
        if (nPluginData::checkPluginsDirectory(directory).safe()) {
            nPluginData::findFilesByExtension(directory, ".ini", paths);
            return true;
        }
        messages += "Unsafe plugins directory: " + visible(directory.string()) + "\n";
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
            messages += "Unsafe service description file: " + visible(path) + "\n";
            continue;
        }
        try {
            tPluginDescription description;
            nPluginData::parseDescriptionFile(path, description);
            descriptions.push_back(std::move(description));
        } catch (const std::exception&) {
            messages += "Failed to parse service description file: " + visible(path) + "\n";
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
    stopEvent.set();
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
