// The part of tPluginManager that looks after plugins in processes of their
// own between steps: which processes ended, which plugins depend on them,
// and their start again. What to do about an end (restart or not, when) is
// the service's to decide.
#include <string>
#include <unordered_set>

#include "plugins/StartedNames.h"
#include "plugins/tPluginManager.h"

const char* processStateName(tProcessState state) {
    switch (state) {
        case tProcessState::running:
            return "running";
        case tProcessState::restarting:
            return "restarting";
        case tProcessState::ended:
            return "ended";
        case tProcessState::givenUp:
            return "given up";
        case tProcessState::stopped:
            return "stopped";
        case tProcessState::none:
            break;
    }
    return nullptr;
}

void tPluginManager::rememberProcess(tPluginRecord& record) {
    if (const tIsolatedPlugin* process = record.library.isolated.get()) {
        record.process.pid = process->pid();
        record.process.user = process->user();
    }
}

std::vector<size_t> tPluginManager::endedProcesses() {
    std::vector<size_t> ended;
    for (size_t i = 0; i < pluginRecords.size(); ++i) {
        const std::shared_ptr<tIsolatedPlugin>& process = pluginRecords[i].library.isolated;
        if (process && process->ended()) {
            ended.push_back(i);
        }
    }
    return ended;
}

std::vector<bool> tPluginManager::dependentsOf(const std::vector<size_t>& ended) const {
    std::unordered_set<std::string> gone;
    for (const size_t i : ended) {
        gone.insert(pluginRecords[i].description.name);
    }
    // A plugin starts after what it depends on: one pass in start order
    // finds the dependents of dependents too.
    std::vector<bool> dependents(pluginRecords.size(), false);
    for (size_t i = 0; i < pluginRecords.size(); ++i) {
        const tPluginRecord& record = pluginRecords[i];
        if (!record.library.running() || (record.library.isolated && record.library.isolated->ended())) {
            continue;
        }
        for (const std::string& dependency : record.description.dependencies) {
            if (gone.count(dependency) != 0) {
                dependents[i] = true;
                gone.insert(record.description.name);
                break;
            }
        }
    }
    return dependents;
}

void tPluginManager::letGoOfProcess(size_t record, tProcessState state) {
    pluginRecords[record].library.discard();
    pluginRecords[record].process.state = state;
}

void tPluginManager::restartPlugins(const std::vector<bool>& selected, uint32_t capabilityMask) {
    tStartedNames startedNames = passOverEveryRecord();
    for (size_t i = 0; i < pluginRecords.size(); ++i) {
        tPluginRecord& record = pluginRecords[i];
        if (!selected[i]) {
            if (record.library.running()) {
                startedNames.markStarted(i);
            }
            continue;
        }
        // The steps of its last life are over: the record shows this one.
        record.stopCode = record.cleanupCode = 0;
        record.stopTimeMs = record.cleanupTimeMs = 0;
        runStartStep(record, capabilityMask, startedNames, i);
    }
}
