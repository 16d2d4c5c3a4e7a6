#include "tPluginManager.h"

#include <exception>
#include <utility>

#include "StartedNames.h"
#include "VisibleText.h"
#include "zoerr/Status.h"
#include "zoqel/quarks/synchronization.h"

namespace {

// The line the status file's messages get when a plugin's step threw
// something that is not a standard exception.
void noteUnknownException(std::string& messages, const tPluginRecord& record) {
    messages += "Unknown exception from plugin: " + visible(record.description.name) + "\n";
}

}  // namespace

void tPluginManager::notify(void (tPluginStepObserver::*event)(const tPluginRecord&,
                                                               tPluginStep) noexcept,
                            const tPluginRecord& record, tPluginStep step) const {
    if (stepObserver != nullptr) {
        (stepObserver->*event)(record, step);
    }
}

// The start step of one plugin: admission, dependencies, load, Initialize.
// Returns the step's code; a failed plugin's library is closed again without
// any of its own entry points being called. Whatever a plugin throws fails
// its own step only: the pass goes on with the next plugin.
int32_t tPluginManager::startPlugin(tPluginRecord& record, uint32_t capabilityMask,
                                    tStartedNames& startedNames, size_t plugin,
                                    tPathSafety& pathSafety) {
    const tPluginDescription& description = record.description;
    try {
        if (!pluginAdmitted(description.requires, capabilityMask)) {
            ZOERR_RAISE(zoerr::kFeatureUnsupported, "zoqelerr_featureUnsupported");
        }
        if (!startedNames.dependenciesStarted(plugin)) {
            ZOERR_RAISE(zoerr::kResourceNotFound, "zoqelerr_resourceNotFound");
        }
        record.library.load(description, pathSafety);
        const int32_t pluginStatus = record.library.initialize();
        if (pluginStatus < 0) {
            ZOERR_RAISE(pluginStatus, "pluginStatus");
        }
        startedNames.markStarted(plugin);
        return pluginStatus;
    } catch (const std::exception&) {
        notify(&tPluginStepObserver::stepRaised, record, tPluginStep::initialize);
        record.library.discard();
        return zoerr::codeFromCurrentException();
    } catch (...) {
        notify(&tPluginStepObserver::stepRaised, record, tPluginStep::initialize);
        record.library.discard();
        noteUnknownException(unknownExceptionLines, record);
        return zoerr::kSoftwareFault;
    }
}

// Runs one step of the stop or clean-up pass on every record, last first,
// and records its code and duration.
void tPluginManager::runReversePass(tPluginStep pluginStep, void (tPluginLibrary::*step)(),
                                    int32_t tPluginRecord::*code, uint64_t tPluginRecord::*timeMs) {
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        notify(&tPluginStepObserver::stepBegins, *record, pluginStep);
        const uint64_t startNs = zoqel::monotonicNowNs();
        int32_t stepCode = 0;
        try {
            (record->library.*step)();
        } catch (const std::exception&) {
            notify(&tPluginStepObserver::stepRaised, *record, pluginStep);
            stepCode = zoerr::codeFromCurrentException();
        } catch (...) {
            notify(&tPluginStepObserver::stepRaised, *record, pluginStep);
            noteUnknownException(unknownExceptionLines, *record);
            stepCode = zoerr::kSoftwareFault;
        }
        (*record).*timeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
        (*record).*code = stepCode;
        notify(&tPluginStepObserver::stepEnded, *record, pluginStep);
    }
}

bool pluginAdmitted(uint32_t requires, uint32_t capabilityMask) {
    return (requires & capabilityMask) != 0;
}

void tPluginManager::startPlugins(std::vector<tPluginDescription> descriptions,
                                  uint32_t capabilityMask) {
    const size_t first = records.size();
    size_t next = first;
    try {
        // Every record, and every name the pass will look up, is in place
        // before the first library is opened. The loader walks its list of
        // loaded libraries at every open and close; when the pass allocates
        // nothing between two opens, the loader's entries lie at one regular
        // stride in memory, which the processor prefetches well. Records of
        // varying size in between made those walks take over a third longer
        // with thousands of plugins.
        records.reserve(first + descriptions.size());
        for (tPluginDescription& description : descriptions) {
            records.emplace_back();
            records.back().description = std::move(description);
        }
        std::vector<const tPluginDescription*> pass;
        pass.reserve(records.size() - first);
        for (size_t i = first; i < records.size(); ++i) {
            pass.push_back(&records[i].description);
        }
        tStartedNames startedNames(pass);
        tPathSafety pathSafety;
        for (; next < records.size(); ++next) {
            tPluginRecord& record = records[next];
            notify(&tPluginStepObserver::stepBegins, record, tPluginStep::initialize);
            const uint64_t startNs = zoqel::monotonicNowNs();
            record.initializeCode =
                startPlugin(record, capabilityMask, startedNames, next - first, pathSafety);
            record.initializeTimeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
            notify(&tPluginStepObserver::stepEnded, record, tPluginStep::initialize);
        }
    } catch (...) {
        // An error outside a plugin's own code (no memory for the records, a
        // library that cannot be closed again) ends the pass and keeps only
        // the records of the plugins processed before it, as if each had been
        // appended after its step. Dropping a record closes nothing.
        if (stepObserver != nullptr) {
            stepObserver->passAbandoned();
        }
        records.erase(records.begin() + static_cast<std::ptrdiff_t>(next), records.end());
        throw;
    }
}

void tPluginManager::stopPlugins() {
    runReversePass(tPluginStep::stop, &tPluginLibrary::stop, &tPluginRecord::stopCode,
                   &tPluginRecord::stopTimeMs);
}

void tPluginManager::cleanupPlugins() {
    runReversePass(tPluginStep::cleanup, &tPluginLibrary::unload, &tPluginRecord::cleanupCode,
                   &tPluginRecord::cleanupTimeMs);
}
