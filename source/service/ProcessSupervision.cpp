// The run cycle's care of plugins in processes of their own between steps:
// a process that ended after its plugin's Initialize succeeded is reported,
// its dependents are stopped (Stop, Cleanup, last started first), and it is
// started again with them after a back-off, or left ended.
//
// Restart=on-failure restarts a plugin at most kMaxRestartsPerWindow times
// within kRestartWindowNs; the back-off before each restart doubles from
// one second (1, 2, 4, 8 s). An end that comes when the plugin was
// restarted that often within the window gives it up: its line says so, and
// it stays down until a reload or the service's restart.
#include <algorithm>
#include <cstdint>
#include <string>

#include "service/tService.h"
#include "zoerr/Status.h"
#include "zoqel/quarks/synchronization.h"

namespace {

constexpr uint32_t kMaxRestartsPerWindow = 4;
constexpr uint64_t kRestartWindowNs = 60ull * 1000000000ull;
constexpr uint64_t kFirstBackOffNs = 1000000000ull;

// "Plugin <Name> (process <pid>) ended by SIGSEGV; restarting in 1 s;
// dependents stopped: <names>"
std::string processEndLine(const tPluginRecord& record, const std::string& how,
                           const std::string& decision, const std::string& stopped) {
    return "Plugin " + record.description.name + " (process " + std::to_string(record.process.pid) +
           ") " + how + "; " + decision + (stopped.empty() ? "" : "; dependents stopped: " + stopped);
}

}  // namespace

std::string tService::decideRestart(tPluginRecord& record, uint64_t nowNs, uint64_t& delayNs) {
    delayNs = 0;
    tPluginProcessRecord& process = record.process;
    if (record.description.process.restart != tRestartPolicy::onFailure) {
        process.state = tProcessState::ended;
        return "not restarted (Restart=no)";
    }
    std::vector<uint64_t>& recent = process.recentRestartsNs;
    recent.erase(std::remove_if(recent.begin(), recent.end(),
                                [nowNs](uint64_t at) { return nowNs - at > kRestartWindowNs; }),
                 recent.end());
    if (recent.size() >= kMaxRestartsPerWindow) {
        process.state = tProcessState::givenUp;
        return "given up after " + std::to_string(recent.size()) + " restarts in " +
               std::to_string(kRestartWindowNs / 1000000000ull) + " s";
    }
    delayNs = kFirstBackOffNs << recent.size();
    process.state = tProcessState::restarting;
    return "restarting in " + std::to_string(delayNs / 1000000000ull) + " s";
}

void tService::superviseProcesses() {
    const std::vector<size_t> ended = pluginManager.endedProcesses();
    if (ended.empty()) {
        return;
    }
    // The dependents go first, while the plugins they depend on are still
    // in the records as running: their Stop may still talk to what is left.
    std::vector<std::vector<bool>> dependentsOfEach;
    std::vector<bool> dependents(pluginManager.records().size(), false);
    for (const size_t i : ended) {
        dependentsOfEach.push_back(pluginManager.dependentsOf({i}));
        for (size_t j = 0; j < dependents.size(); ++j) {
            dependents[j] = dependents[j] || dependentsOfEach.back()[j];
        }
    }
    pluginManager.stopPlugins(&dependents);
    pluginManager.cleanupPlugins(&dependents);
    const uint64_t nowNs = zoqel::monotonicNowNs();
    for (size_t each = 0; each < ended.size(); ++each) {
        const size_t i = ended[each];
        tPluginRecord& record = pluginManager.recordAt(i);
        const std::shared_ptr<tIsolatedPlugin> process = record.library.isolated;
        uint64_t delayNs = 0;
        const std::string decision = decideRestart(record, nowNs, delayNs);
        const tProcessState state = record.process.state;
        pluginManager.letGoOfProcess(i, state);
        std::string stopped;
        tPendingRestart restart;
        restart.dueNs = nowNs + delayNs;
        restart.files.push_back(record.description.file);
        const std::vector<bool>& mine = dependentsOfEach[each];
        for (size_t j = 0; j < mine.size(); ++j) {
            if (mine[j]) {
                stopped += (stopped.empty() ? "" : ", ") + pluginManager.records()[j].description.name;
                restart.files.push_back(pluginManager.records()[j].description.file);
            }
        }
        const std::string line = processEndLine(record, process->endText(), decision, stopped);
        note(tMessageKind::pluginProcess, record.description.name, line);
        log([&] { return pluginProcessEndedRecord(record, process->endText(), line); });
        if (delayNs != 0) {
            pendingRestarts.push_back(std::move(restart));
        }
    }
    writeStatus();
}

uint64_t tService::nextRestartNs() const {
    uint64_t next = UINT64_MAX;
    for (const tPendingRestart& restart : pendingRestarts) {
        next = std::min(next, restart.dueNs);
    }
    return next;
}

void tService::restartDuePlugins() {
    const uint64_t nowNs = zoqel::monotonicNowNs();
    const std::vector<tPluginRecord>& records = pluginManager.records();
    std::vector<bool> selected(records.size(), false);
    std::vector<size_t> restarted;
    for (auto restart = pendingRestarts.begin(); restart != pendingRestarts.end();) {
        if (restart->dueNs > nowNs) {
            ++restart;
            continue;
        }
        for (size_t i = 0; i < records.size(); ++i) {
            const bool named = std::find(restart->files.begin(), restart->files.end(),
                                         records[i].description.file) != restart->files.end();
            if (named && !records[i].library.running()) {
                selected[i] = true;
            }
        }
        // The first file is the plugin whose process ended.
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].description.file == restart->files.front()) {
                restarted.push_back(i);
            }
        }
        restart = pendingRestarts.erase(restart);
    }
    for (const size_t i : restarted) {
        tPluginRecord& record = pluginManager.recordAt(i);
        ++record.process.restarts;
        record.process.recentRestartsNs.push_back(nowNs);
    }
    try {
        pluginManager.restartPlugins(selected, capabilityMask);
    } catch (const std::exception&) {
        // No memory for the pass: what did not start stays down, and says so.
        note(tMessageKind::pluginProcess, std::string(),
             "Restart failed: " + std::to_string(zoerr::codeFromCurrentException()));
    }
    writeStatus();
    for (const size_t i : restarted) {
        log([&] { return pluginProcessRestartedRecord(pluginManager.records()[i]); });
    }
}
