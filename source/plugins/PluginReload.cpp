// The reload of tPluginManager: which running plugins it keeps, the stop of
// the others, and the start of every described plugin that is not running,
// with the very steps of the start and stop passes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "safety/FileIdentity.h"
#include "plugins/StartedNames.h"
#include "plugins/HeldLibrary.h"
#include "plugins/tPluginManager.h"
#include "safety/LoaderJudgeLink.h"
#include "zoerr/Status.h"

namespace {

constexpr size_t kNotKept = SIZE_MAX;

bool isRunning(const tPluginRecord& record) {
    return record.library.running();
}

// The same file with the same bytes; a description not read from a file is
// never the same.
bool sameDescriptionFile(const tPluginDescription& running, const tPluginDescription& described) {
    return !running.file.empty() && running.file == described.file &&
           running.fileFingerprint == described.fileFingerprint;
}

// What became of the file a running plugin's library was loaded from.
enum class tLibraryChange { none, replaced, overwrittenInPlace };

tLibraryChange libraryChange(const tPluginRecord& record) {
    const tFileIdentity& loaded = record.library.identity;
    const tFileIdentity now = identifyFile(record.library.loadedFileName());
    if (sameFile(loaded, now)) {
        return tLibraryChange::none;
    }
    // The same inode with other content: written over while mapped (cp, not
    // install or a rename), so the code the plugin runs may have changed
    // under it already.
    return loaded.known && now.known && loaded.device == now.device && loaded.inode == now.inode
               ? tLibraryChange::overwrittenInPlace
               : tLibraryChange::replaced;
}

bool dependenciesKept(const tPluginDescription& description,
                      const std::unordered_set<std::string>& keptNames) {
    for (const std::string& dependency : description.dependencies) {
        if (keptNames.count(dependency) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

struct tPluginManager::tReloadPlan {
    // Per record before the reload: running and not kept.
    std::vector<bool> stopping;
    // Per description: the record kept for it, or kNotKept.
    std::vector<size_t> keptRecord;
    // Per record after the move: kept, so that it has already started.
    std::vector<bool> kept;
    // The Names of stopped plugins that no description names any more.
    std::vector<std::string> removed;
    // Per record before the reload: its library file was written over in place.
    std::vector<bool> overwrittenInPlace;
};

// Decides before any plugin call, in the old start order, so that a
// dependency is judged before the plugins that depend on it.
tPluginManager::tReloadPlan tPluginManager::planReload(
    std::vector<tPluginDescription>& descriptions, uint32_t capabilityMask) const {
    tReloadPlan plan;
    plan.stopping.assign(pluginRecords.size(), false);
    plan.keptRecord.assign(descriptions.size(), kNotKept);
    std::unordered_map<std::string, size_t> describedAt;
    for (size_t i = 0; i < descriptions.size(); ++i) {
        describedAt.emplace(descriptions[i].file, i);
    }
    std::unordered_set<std::string> keptNames;
    std::unordered_set<std::string> describedNames;
    for (const tPluginDescription& description : descriptions) {
        describedNames.insert(description.name);
    }
    plan.overwrittenInPlace.assign(pluginRecords.size(), false);
    for (size_t i = 0; i < pluginRecords.size(); ++i) {
        const tPluginRecord& record = pluginRecords[i];
        if (!isRunning(record)) {
            continue;
        }
        const auto described = describedAt.find(record.description.file);
        const tLibraryChange change = libraryChange(record);
        if (described != describedAt.end() && plan.keptRecord[described->second] == kNotKept &&
            sameDescriptionFile(record.description, descriptions[described->second]) &&
            change == tLibraryChange::none &&
            pluginAdmitted(record.description.requires, capabilityMask) &&
            dependenciesKept(record.description, keptNames)) {
            plan.keptRecord[described->second] = i;
            keptNames.insert(record.description.name);
            continue;
        }
        plan.stopping[i] = true;
        plan.overwrittenInPlace[i] = change == tLibraryChange::overwrittenInPlace;
        // By Name, as the plugin is known: a file renamed with the same Name
        // in it starts it again, a changed Name stops the old one for good.
        if (describedNames.count(record.description.name) == 0 &&
            std::find(plan.removed.begin(), plan.removed.end(), record.description.name) ==
                plan.removed.end()) {
            plan.removed.push_back(record.description.name);
        }
    }
    return plan;
}

// The records in the order of `descriptions`: the kept ones moved over, a
// fresh one for every other description. Stopped records go; their
// libraries are closed already.
void tPluginManager::moveRecordsTo(tReloadPlan& plan,
                                   std::vector<tPluginDescription>& descriptions) {
    std::vector<tPluginRecord> next;
    next.reserve(descriptions.size());
    plan.kept.assign(descriptions.size(), false);
    if (stepObserver != nullptr) {
        stepObserver->recordsMoving();
    }
    for (size_t i = 0; i < descriptions.size(); ++i) {
        next.emplace_back();
        if (plan.keptRecord[i] != kNotKept) {
            next.back() = std::move(pluginRecords[plan.keptRecord[i]]);
            next.back().reloadRole = tReloadRole::kept;
            plan.kept[i] = true;
        } else {
            next.back().description = std::move(descriptions[i]);
            next.back().reloadRole = tReloadRole::startedByReload;
        }
    }
    pluginRecords = std::move(next);
}

// True when the loader still holds an old copy of the plugin's library
// under the name it would be opened by (a thread of it still runs, it is
// marked never to be unloaded, another plugin holds it): opening the path
// would run the old code again under the new version's name. Asked before
// every start of a reload, not only of a library replaced by this one: a
// plugin failed for it earlier must not start from the old copy either.
// The loader's judge lets the loader open only a file root may trust.
bool tPluginManager::oldLibraryHeld(const tPluginRecord& record) {
    const std::string& path = record.description.path;
    return !path.empty() && loaderHoldsReplacedCopy(path);
}

tStartedNames tPluginManager::passOverEveryRecord() const {
    std::vector<const tPluginDescription*> pass;
    pass.reserve(pluginRecords.size());
    for (const tPluginRecord& record : pluginRecords) {
        pass.push_back(&record.description);
    }
    tStartedNames startedNames(pass);
    tLoaderJudge::get().beginPass();
    return startedNames;
}

void tPluginManager::startNotKept(const tReloadPlan& plan, uint32_t capabilityMask,
                                  const std::function<bool()>& stopRequested) {
    tStartedNames startedNames = passOverEveryRecord();
    // Until processed, a record that is not kept is left out should the
    // reload end early.
    std::vector<bool> unprocessed(pluginRecords.size());
    for (size_t i = 0; i < pluginRecords.size(); ++i) {
        unprocessed[i] = !plan.kept[i];
    }
    try {
        bool stopping = false;
        for (size_t i = 0; i < pluginRecords.size(); ++i) {
            tPluginRecord& record = pluginRecords[i];
            if (plan.kept[i]) {
                startedNames.markStarted(i);
                continue;
            }
            stopping = stopping || stopRequested();
            if (stopping) {
                continue;
            }
            if (oldLibraryHeld(record)) {
                // A start step that failed before the open, so that the
                // journal and the step board see it as any other failure.
                notify(&tPluginStepObserver::stepBegins, record, tPluginStep::initialize);
                record.initializeCode = zoerr::kInvalidParameter;
                notePlugin(tPluginNote::tKind::oldLibraryHeld, record);
                notify(&tPluginStepObserver::stepEnded, record, tPluginStep::initialize);
            } else {
                runStartStep(record, capabilityMask, startedNames, i);
            }
            unprocessed[i] = false;
        }
    } catch (...) {
        if (stepObserver != nullptr) {
            stepObserver->passAbandoned();
        }
        dropRecords(unprocessed);
        throw;
    }
    dropRecords(unprocessed);
}

void tPluginManager::dropRecords(const std::vector<bool>& dropped) {
    if (std::find(dropped.begin(), dropped.end(), true) == dropped.end()) {
        return;
    }
    if (stepObserver != nullptr) {
        stepObserver->recordsMoving();
    }
    size_t kept = 0;
    for (size_t i = 0; i < pluginRecords.size(); ++i) {
        if (!dropped[i]) {
            if (kept != i) {
                pluginRecords[kept] = std::move(pluginRecords[i]);
            }
            ++kept;
        }
    }
    pluginRecords.erase(pluginRecords.begin() + static_cast<std::ptrdiff_t>(kept), pluginRecords.end());
}

void tPluginManager::reloadPlugins(std::vector<tPluginDescription> descriptions,
                                   uint32_t capabilityMask,
                                   const std::function<bool()>& stopRequested,
                                   const std::function<void()>& beforeStop) {
    tReloadPlan plan = planReload(descriptions, capabilityMask);
    pluginNotes.clear();
    stoppedForGood = std::move(plan.removed);
    for (size_t i = 0; i < pluginRecords.size(); ++i) {
        if (plan.overwrittenInPlace[i]) {
            notePlugin(tPluginNote::tKind::libraryOverwritten, pluginRecords[i]);
        }
    }
    if (!pluginNotes.empty() && beforeStop) {
        // Its Stop runs code that may have been written over: should it
        // crash the service, the reason is told already.
        beforeStop();
    }
    stopPlugins(&plan.stopping);
    cleanupPlugins(&plan.stopping);
    moveRecordsTo(plan, descriptions);
    startNotKept(plan, capabilityMask, stopRequested);
}

void tPluginManager::keepEveryPluginForReload() {
    stoppedForGood.clear();
    for (tPluginRecord& record : pluginRecords) {
        record.reloadRole = isRunning(record) ? tReloadRole::kept : tReloadRole::notInReload;
    }
}

bool tPluginManager::anyRunningLibraryChanged() const {
    return std::any_of(pluginRecords.begin(), pluginRecords.end(), [](const tPluginRecord& record) {
        return isRunning(record) && libraryChange(record) != tLibraryChange::none;
    });
}
