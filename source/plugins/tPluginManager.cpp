#include "plugins/tPluginManager.h"

#include <exception>
#include <utility>

#include "plugins/IsolatedPlugin.h"
#include "plugins/PluginProcessSettings.h"
#include "plugins/PluginStatusText.h"
#include "plugins/StartedNames.h"
#include "safety/LoaderJudgeLink.h"
#include "text/VisibleText.h"
#include "zoerr/Status.h"
#include "zoqel/quarks/synchronization.h"

std::string pluginNoteLine(const tPluginNote& note) {
    switch (note.kind) {
        case tPluginNote::tKind::oldLibraryHeld:
            return "Old library still loaded, new version not started: " + note.plugin;
        case tPluginNote::tKind::libraryOverwritten:
            return "Library written over in place, not replaced by a rename: " + note.plugin;
        case tPluginNote::tKind::unsafeLibrary:
            return "Unsafe plugin library: " + note.plugin + ": " + note.detail;
        case tPluginNote::tKind::processRefused:
            return "Plugin process refused: " + note.plugin + ": " + note.detail;
        case tPluginNote::tKind::processEnded:
            return "Plugin " + note.plugin + " " + note.detail;
        default:
            return "Unknown exception from plugin: " + note.plugin;
    }
}

// Without memory for it the note is lost; the step's code still tells.
void tPluginManager::notePlugin(tPluginNote::tKind kind, const tPluginRecord& record,
                                const std::string& detail) noexcept {
    try {
        pluginNotes.push_back(tPluginNote{kind, record.description.name, detail});
    } catch (const std::exception&) {
    }
}

void tPluginManager::noteProcessEndIn(const tPluginRecord& record, tPluginStep step) noexcept {
    const tIsolatedPlugin* process = record.library.isolated.get();
    if (process == nullptr || process->endedInStep() != pluginStepName(step)) {
        return;
    }
    try {
        notePlugin(tPluginNote::tKind::processEnded, record,
                   "(process " + std::to_string(process->pid()) + ") " + process->endText() +
                       " during " + process->endedInStep());
    } catch (const std::exception&) {
        // No memory for the line: the step's code still tells.
    }
}

// An isolated plugin whose keys cannot be taken, or whose user this machine
// does not know, is refused before its process is made.
void tPluginManager::admitProcessSettings(const tPluginRecord& record) {
    const std::string why = processSettingsRefusal(record.description.process);
    if (!why.empty()) {
        notePlugin(tPluginNote::tKind::processRefused, record, why);
        ZOERR_RAISE(kPluginProcessRefused, "zokorvoerr_pluginProcessRefused");
    }
}

std::string tPluginManager::messages() const {
    std::string lines;
    for (const tPluginNote& note : pluginNotes) {
        appendVisible(lines, pluginNoteLine(note));
        lines += "\n";
    }
    return lines;
}

void tPluginManager::notify(void (tPluginStepObserver::*event)(const tPluginRecord&,
                                                               tPluginStep) noexcept,
                            const tPluginRecord& record, tPluginStep step) const {
    if (stepObserver != nullptr) {
        (stepObserver->*event)(record, step);
    }
}

// Called inside the handler of what `record`'s step raised, standard or not:
// tells the observer, and returns the step's code. The exception's type, and
// the code that destroys it, may lie in the plugin's library: the library is
// closed only after the handler has ended.
int32_t tPluginManager::codeOfRaised(const tPluginRecord& record, tPluginStep step) {
    notify(&tPluginStepObserver::stepRaised, record, step);
    try {
        // Called only inside a handler: this is the plugin's exception.
        // cppcheck-suppress rethrowNoCurrentException
        throw;
    } catch (const std::exception&) {
        return zoerr::codeFromCurrentException();
    } catch (...) {
        notePlugin(tPluginNote::tKind::unknownException, record);
        return zoerr::kSoftwareFault;
    }
}

// Runs `step` on `record`'s library; 0, or the code of what it raised.
int32_t tPluginManager::runStep(tPluginRecord& record, tPluginStep pluginStep,
                                void (tPluginLibrary::*step)()) {
    try {
        (record.library.*step)();
        return 0;
    } catch (...) {
        return codeOfRaised(record, pluginStep);
    }
}

// The start step of one plugin: admission, dependencies, load, Initialize.
// Returns the step's code; a failed plugin's library is closed again without
// any of its own entry points being called. Whatever a plugin throws fails
// its own step only: the pass goes on with the next plugin.
int32_t tPluginManager::startPlugin(tPluginRecord& record, uint32_t capabilityMask,
                                    tStartedNames& startedNames, size_t plugin) {
    const tPluginDescription& description = record.description;
    int32_t failure = 0;
    try {
        if (!pluginAdmitted(description.requires, capabilityMask)) {
            ZOERR_RAISE(zoerr::kFeatureUnsupported, "zoqelerr_featureUnsupported");
        }
        if (!startedNames.dependenciesStarted(plugin)) {
            ZOERR_RAISE(zoerr::kResourceNotFound, "zoqelerr_resourceNotFound");
        }
        admitProcessSettings(record);
        record.library.load(description);
        const int32_t pluginStatus = record.library.initialize();
        if (pluginStatus < 0) {
            ZOERR_RAISE(pluginStatus, "pluginStatus");
        }
        startedNames.markStarted(plugin);
        rememberProcess(record);
        return pluginStatus;
    } catch (...) {
        failure = codeOfRaised(record, tPluginStep::initialize);
    }
    rememberProcess(record);
    if (!record.library.refusal.empty()) {
        notePlugin(tPluginNote::tKind::unsafeLibrary, record, record.library.refusal);
    }
    noteProcessEndIn(record, tPluginStep::initialize);
    // The exception is gone: now its library may go too.
    record.library.discard();
    return failure;
}

// The start step with its observation and timing, as both the start pass
// and the reload run it.
void tPluginManager::runStartStep(tPluginRecord& record, uint32_t capabilityMask,
                                  tStartedNames& startedNames, size_t plugin) {
    notify(&tPluginStepObserver::stepBegins, record, tPluginStep::initialize);
    const uint64_t startNs = zoqel::monotonicNowNs();
    record.initializeCode = startPlugin(record, capabilityMask, startedNames, plugin);
    record.initializeTimeMs = zoqel::elapsedMs(startNs, zoqel::monotonicNowNs());
    // A plugin refused before its process was made has no process to show.
    if (record.library.running()) {
        record.process.state = record.library.isolated ? tProcessState::running : tProcessState::none;
    } else if (record.process.pid != 0) {
        record.process.state = tProcessState::ended;
    }
    notify(&tPluginStepObserver::stepEnded, record, tPluginStep::initialize);
}

// Runs one step of the stop or clean-up pass on every record, or on the
// records `selected` marks, last first, and records its code and duration.
// With `closeAfterwards` the library is closed as part of the step, once
// whatever the step raised is gone; the step's own error comes first.
void tPluginManager::runReversePass(tPluginStep pluginStep, void (tPluginLibrary::*step)(),
                                    bool closeAfterwards, int32_t tPluginRecord::*code,
                                    uint64_t tPluginRecord::*timeMs,
                                    const std::vector<bool>* selected) {
    for (auto record = pluginRecords.rbegin(); record != pluginRecords.rend(); ++record) {
        if (selected != nullptr && !(*selected)[static_cast<size_t>(pluginRecords.rend() - record) - 1]) {
            continue;
        }
        notify(&tPluginStepObserver::stepBegins, *record, pluginStep);
        const uint64_t startNs = zoqel::monotonicNowNs();
        int32_t stepCode = runStep(*record, pluginStep, step);
        noteProcessEndIn(*record, pluginStep);
        if (closeAfterwards) {
            const int32_t closeCode = runStep(*record, pluginStep, &tPluginLibrary::discard);
            stepCode = stepCode != 0 ? stepCode : closeCode;
            if ((*record).process.state == tProcessState::running) {
                (*record).process.state = tProcessState::stopped;
            }
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
    const size_t first = pluginRecords.size();
    size_t next = first;
    try {
        // Every record, and every name the pass will look up, is in place
        // before the first library is opened. The loader walks its list of
        // loaded libraries at every open and close; when the pass allocates
        // nothing between two opens, the loader's entries lie at one regular
        // stride in memory, which the processor prefetches well. Records of
        // varying size in between made those walks take over a third longer
        // with thousands of plugins.
        pluginRecords.reserve(first + descriptions.size());
        for (tPluginDescription& description : descriptions) {
            pluginRecords.emplace_back();
            pluginRecords.back().description = std::move(description);
        }
        std::vector<const tPluginDescription*> pass;
        pass.reserve(pluginRecords.size() - first);
        for (size_t i = first; i < pluginRecords.size(); ++i) {
            pass.push_back(&pluginRecords[i].description);
        }
        tStartedNames startedNames(pass);
        tLoaderJudge::get().beginPass();
        for (; next < pluginRecords.size(); ++next) {
            runStartStep(pluginRecords[next], capabilityMask, startedNames, next - first);
        }
    } catch (...) {
        // An error outside a plugin's own code (no memory for the records, a
        // library that cannot be closed again) ends the pass and keeps only
        // the records of the plugins processed before it, as if each had been
        // appended after its step. Dropping a record closes nothing.
        if (stepObserver != nullptr) {
            stepObserver->passAbandoned();
        }
        pluginRecords.erase(pluginRecords.begin() + static_cast<std::ptrdiff_t>(next), pluginRecords.end());
        throw;
    }
}

void tPluginManager::stopPlugins(const std::vector<bool>* selected) {
    runReversePass(tPluginStep::stop, &tPluginLibrary::stop, false, &tPluginRecord::stopCode,
                   &tPluginRecord::stopTimeMs, selected);
}

void tPluginManager::cleanupPlugins(const std::vector<bool>* selected) {
    runReversePass(tPluginStep::cleanup, &tPluginLibrary::cleanup, true,
                   &tPluginRecord::cleanupCode, &tPluginRecord::cleanupTimeMs, selected);
}

std::string tPluginManager::statusText() const {
    return renderPluginStatus(pluginRecords);
}

void tPluginManager::appendStatusText(std::string& text) const {
    appendPluginStatus(text, pluginRecords);
}
