// The reload of tPluginManager: which running plugins it keeps, the stop of
// the others, and the start of every described plugin that is not running,
// with the very steps of the start and stop passes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "FileIdentity.h"
#include "StartedNames.h"
#include "safety/LoaderJudgeLink.h"
#include "tPluginManager.h"
#include "zoerr/Status.h"

namespace {

constexpr size_t kNotKept = SIZE_MAX;

bool isRunning(const tPluginRecord& record) {
    return record.library.library.isLoaded();
}

// The same file with the same bytes; a description not read from a file is
// never the same.
bool sameDescriptionFile(const tPluginDescription& running, const tPluginDescription& described) {
    return !running.file.empty() && running.file == described.file &&
           running.fileFingerprint == described.fileFingerprint;
}

bool libraryFileUnchanged(const tPluginRecord& record) {
    return sameFile(record.library.identity, identifyFile(record.library.library.loadedFileName()));
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
    // The Names of stopped plugins that no description describes any more.
    std::vector<std::string> removed;
    // The library paths of stopped plugins whose file was replaced: the
    // loader must have let go of the old one before the new one may start.
    std::unordered_set<std::string> replacedLibraries;
};

// Decides before any plugin call, in the old start order, so that a
// dependency is judged before the plugins that depend on it.
tPluginManager::tReloadPlan tPluginManager::planReload(
    std::vector<tPluginDescription>& descriptions, uint32_t capabilityMask) const {
    tReloadPlan plan;
    plan.stopping.assign(records.size(), false);
    plan.keptRecord.assign(descriptions.size(), kNotKept);
    std::unordered_map<std::string, size_t> describedAt;
    for (size_t i = 0; i < descriptions.size(); ++i) {
        describedAt.emplace(descriptions[i].file, i);
    }
    std::unordered_set<std::string> keptNames;
    for (size_t i = 0; i < records.size(); ++i) {
        const tPluginRecord& record = records[i];
        if (!isRunning(record)) {
            continue;
        }
        const auto described = describedAt.find(record.description.file);
        const bool libraryUnchanged = libraryFileUnchanged(record);
        if (described != describedAt.end() && plan.keptRecord[described->second] == kNotKept &&
            sameDescriptionFile(record.description, descriptions[described->second]) &&
            libraryUnchanged && pluginAdmitted(record.description.requires, capabilityMask) &&
            dependenciesKept(record.description, keptNames)) {
            plan.keptRecord[described->second] = i;
            keptNames.insert(record.description.name);
            continue;
        }
        plan.stopping[i] = true;
        if (described == describedAt.end()) {
            plan.removed.push_back(record.description.name);
        }
        if (!libraryUnchanged) {
            plan.replacedLibraries.insert(record.description.path);
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
            next.back() = std::move(records[plan.keptRecord[i]]);
            next.back().reloadRole = tReloadRole::kept;
            plan.kept[i] = true;
        } else {
            next.back().description = std::move(descriptions[i]);
            next.back().reloadRole = tReloadRole::startedByReload;
        }
    }
    records = std::move(next);
}

// True, with the plugin failed and a line in messages(), when its library
// file was replaced but the loader still holds the old one (a thread of it
// still runs, or it is marked never to be unloaded): opening the path would
// run the old code again under the new version's name.
bool tPluginManager::oldLibraryHeld(const tPluginRecord& record, const tReloadPlan& plan) {
    const std::string& path = record.description.path;
    // The loader opens the file to compare it; its judge lets it open only
    // a file root may trust.
    return plan.replacedLibraries.count(path) != 0 &&
           zoqel::tSharedLibrary::isHeldByLoader(path.c_str());
}

void tPluginManager::startNotKept(const tReloadPlan& plan, uint32_t capabilityMask,
                                  const std::function<bool()>& stopRequested) {
    std::vector<const tPluginDescription*> pass;
    pass.reserve(records.size());
    for (const tPluginRecord& record : records) {
        pass.push_back(&record.description);
    }
    tStartedNames startedNames(pass);
    tLoaderJudge::get().beginPass();
    // Until processed, a record that is not kept is left out should the
    // reload end early.
    std::vector<bool> unprocessed(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        unprocessed[i] = !plan.kept[i];
    }
    try {
        bool stopping = false;
        for (size_t i = 0; i < records.size(); ++i) {
            tPluginRecord& record = records[i];
            if (plan.kept[i]) {
                startedNames.markStarted(i);
                continue;
            }
            stopping = stopping || stopRequested();
            if (stopping) {
                continue;
            }
            if (oldLibraryHeld(record, plan)) {
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
    for (size_t i = 0; i < records.size(); ++i) {
        if (!dropped[i]) {
            if (kept != i) {
                records[kept] = std::move(records[i]);
            }
            ++kept;
        }
    }
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(kept), records.end());
}

void tPluginManager::reloadPlugins(std::vector<tPluginDescription> descriptions,
                                   uint32_t capabilityMask,
                                   const std::function<bool()>& stopRequested) {
    tReloadPlan plan = planReload(descriptions, capabilityMask);
    pluginNotes.clear();
    stoppedForGood = std::move(plan.removed);
    stopPlugins(&plan.stopping);
    cleanupPlugins(&plan.stopping);
    moveRecordsTo(plan, descriptions);
    startNotKept(plan, capabilityMask, stopRequested);
}

void tPluginManager::keepEveryPluginForReload() {
    stoppedForGood.clear();
    for (tPluginRecord& record : records) {
        record.reloadRole = isRunning(record) ? tReloadRole::kept : tReloadRole::notInReload;
    }
}
