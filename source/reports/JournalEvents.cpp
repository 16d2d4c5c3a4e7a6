#include "reports/JournalEvents.h"

#include <exception>

#include <cstdio>

#include "zoerr/Status.h"

namespace {

std::string hexadecimal(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

tJournalRecord& addPluginFields(tJournalRecord& record, const tPluginRecord& plugin,
                                tPluginStep step) {
    return record.field("PLUGIN", plugin.description.name)
        .field("PLUGIN_FILE", plugin.description.file)
        .field("STEP", pluginStepName(step));
}

tJournalRecord& addCodeFields(tJournalRecord& record, int32_t code) {
    record.field("CODE", std::to_string(code));
    const char* name = errorConstantName(code);
    if (name != nullptr) {
        record.field("CODE_NAME", name);
    }
    return record;
}

std::string codeText(int32_t code) {
    const char* name = errorConstantName(code);
    return std::to_string(code) + (name != nullptr ? std::string(" (") + name + ")" : "");
}

// The record of a start step that ended with an error; refusals by a
// capability that is not allowed are by design, and only a notice.
tJournalRecord notStartedRecord(const tPluginRecord& plugin) {
    const int32_t code = plugin.initializeCode;
    const tPluginState state = pluginState(plugin, false);
    const char* verb = state == tPluginState::refused ? " refused" : " failed to start";
    const tJournalPriority priority = code == zoerr::kFeatureUnsupported ? kPriorityNotice
                                      : state == tPluginState::refused   ? kPriorityWarning
                                                                         : kPriorityError;
    tJournalRecord record(tJournalEvent::pluginNotStarted, priority,
                          "Plugin " + plugin.description.name + verb + ": code " + codeText(code));
    addPluginFields(record, plugin, tPluginStep::initialize);
    addCodeFields(record, code);
    return record;
}

tJournalRecord stepFailedRecord(const tPluginRecord& plugin, tPluginStep step, int32_t code) {
    tJournalRecord record(tJournalEvent::stepFailed, kPriorityError,
                          std::string(pluginStepName(step)) + " of plugin " +
                              plugin.description.name + " failed: code " + codeText(code));
    addPluginFields(record, plugin, step);
    addCodeFields(record, code);
    return record;
}

// Called inside the handler of the exception the step raised. The
// service's own raises (a refusal, a library that cannot be loaded, a
// negative Initialize result) are zoerr exceptions and have a record of
// their own when the step ends; anything else came out of the plugin's code.
bool exceptionFromPlugin(std::string& text) {
    try {
        throw;
    } catch (const zoerr::ExceptionBase&) {
        return false;
    } catch (const std::exception& error) {
        text = error.what();
    } catch (...) {
        text = "not a standard exception";
    }
    return true;
}

}  // namespace

tJournalRecord serviceStartedRecord(const std::string& pluginsDirectory) {
    tJournalRecord record(
        tJournalEvent::serviceStarted, kPriorityInfo,
        "zoKorvoRemoteService " ZO_VERSION " starting, plugins directory " + pluginsDirectory);
    record.field("PLUGINS_DIRECTORY", pluginsDirectory);
    return record;
}

tJournalRecord deploymentRecord(uint32_t capabilityMask, uint32_t attempts,
                                const std::string& failure) {
    const std::string attemptsText =
        " after " + std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts");
    if (!failure.empty()) {
        return tJournalRecord(tJournalEvent::deploymentAnswer, kPriorityWarning,
                              "Deployment permission unknown" + attemptsText + ": " + failure +
                                  "; capability mask " + hexadecimal(capabilityMask))
            .field("ATTEMPTS", std::to_string(attempts));
    }
    return tJournalRecord(tJournalEvent::deploymentAnswer, kPriorityInfo,
                          std::string("Remote deployment ") +
                              ((capabilityMask & 0x2) != 0 ? "allowed" : "not allowed") +
                              attemptsText + "; capability mask " + hexadecimal(capabilityMask))
        .field("ATTEMPTS", std::to_string(attempts));
}

tJournalRecord descriptionRejectedRecord(const tReportMessage& message, const std::string& reason) {
    tJournalRecord record(tJournalEvent::descriptionRejected, kPriorityError,
                          message.text + ": " + reason);
    record.field("PLUGIN_FILE", message.subject).field("REASON", reason);
    // "line 5: ...": the line of the file, as the checker names it.
    if (reason.compare(0, 5, "line ") == 0) {
        record.field("PLUGIN_FILE_LINE", reason.substr(5, reason.find(':') - 5));
    }
    return record;
}

tJournalRecord startSummaryRecord(const std::vector<tPluginRecord>& records) {
    const tStartCounts counts = countStartResults(records);
    return tJournalRecord(tJournalEvent::startSummary,
                          counts.failed != 0 ? kPriorityWarning : kPriorityInfo,
                          startSummaryText(records))
        .field("STARTED", std::to_string(counts.started))
        .field("REFUSED", std::to_string(counts.refused))
        .field("FAILED", std::to_string(counts.failed));
}

tJournalRecord reloadSummaryRecord(const std::vector<tPluginRecord>& records,
                                   const std::vector<std::string>& stopped) {
    const tReloadCounts counts = countReloadOutcomes(records, stopped);
    return tJournalRecord(
               tJournalEvent::reloadSummary, counts.failed != 0 ? kPriorityWarning : kPriorityInfo,
               "Reload: " + std::to_string(counts.kept) + " kept, " +
                   std::to_string(counts.stopped) + " stopped, " + std::to_string(counts.started) +
                   " started, " + std::to_string(counts.refused) + " refused, " +
                   std::to_string(counts.failed) + " failed")
        .field("KEPT", std::to_string(counts.kept))
        .field("STOPPED", std::to_string(counts.stopped))
        .field("STARTED", std::to_string(counts.started))
        .field("REFUSED", std::to_string(counts.refused))
        .field("FAILED", std::to_string(counts.failed));
}

tJournalRecord reloadFailedRecord(const std::string& failure, size_t running) {
    return tJournalRecord(tJournalEvent::reloadFailed, kPriorityError,
                          "Reload failed: " + failure + "; the " + std::to_string(running) +
                              " running plugins keep running")
        .field("REASON", failure);
}

tJournalRecord metricsWriteRecord(const std::string& path, bool failed) {
    return tJournalRecord(tJournalEvent::metricsWriteFailed,
                          failed ? kPriorityWarning : kPriorityInfo,
                          (failed ? "Failed to write metrics file: " : "Metrics file written again: ") +
                              path)
        .field("METRICS_FILE", path);
}

tJournalRecord libraryOverwrittenRecord(const tPluginRecord& plugin) {
    return tJournalRecord(tJournalEvent::libraryOverwritten, kPriorityWarning,
                          "Library of plugin " + plugin.description.name +
                              " written over in place, not replaced by a rename: " +
                              plugin.description.path + "; its Stop runs code that may have changed")
        .field("PLUGIN", plugin.description.name)
        .field("PLUGIN_FILE", plugin.description.file)
        .field("LIBRARY", plugin.description.path);
}

tJournalRecord pluginExitRecord(const std::string& plugin, const std::string& line) {
    tJournalRecord record(tJournalEvent::pluginExited, kPriorityCritical, line);
    if (!plugin.empty()) {
        record.field("PLUGIN", plugin);
    }
    return record;
}

namespace {

// What every record of an isolated plugin's process says of it.
tJournalRecord& addProcessFields(tJournalRecord& record, const tPluginRecord& plugin) {
    const char* state = processStateName(plugin.process.state);
    return record.field("PLUGIN", plugin.description.name)
        .field("PLUGIN_PID", std::to_string(plugin.process.pid))
        .field("PLUGIN_USER", plugin.process.user)
        .field("RESTARTS", std::to_string(plugin.process.restarts))
        .field("PROCESS_STATE", state != nullptr ? state : "");
}

}  // namespace

tJournalRecord pluginProcessRestartedRecord(const tPluginRecord& plugin) {
    const bool running = plugin.process.state == tProcessState::running;
    tJournalRecord record(
        tJournalEvent::pluginProcessRestarted, running ? kPriorityNotice : kPriorityError,
        "Plugin " + plugin.description.name +
            (running ? " restarted (process " + std::to_string(plugin.process.pid) + ", restart "
                     : " failed to restart (code " + std::to_string(plugin.initializeCode) +
                           ", restart ") +
            std::to_string(plugin.process.restarts) + ")");
    return addProcessFields(record, plugin);
}

tJournalRecord pluginProcessEndedRecord(const tPluginRecord& plugin, const std::string& how,
                                        const std::string& line) {
    const bool givenUp = plugin.process.state == tProcessState::givenUp;
    tJournalRecord record(givenUp ? tJournalEvent::pluginProcessGivenUp
                                  : tJournalEvent::pluginProcessEnded,
                          givenUp ? kPriorityCritical : kPriorityError, line);
    addProcessFields(record, plugin).field("PROCESS_END", how);
    const size_t signal = how.find("SIG");
    if (signal != std::string::npos) {
        record.field("SIGNAL", how.substr(signal));
    }
    return record;
}

tJournalRecord serviceStoppingRecord() {
    return tJournalRecord(tJournalEvent::serviceStopping, kPriorityInfo, "Stopping plugins");
}

tJournalRecord serviceEndedRecord(uint64_t droppedRecords) {
    return tJournalRecord(tJournalEvent::serviceEnded, kPriorityInfo,
                          "zoKorvoRemoteService ended; " + std::to_string(droppedRecords) +
                              " journal records dropped")
        .field("DROPPED_RECORDS", std::to_string(droppedRecords));
}

void tJournalStepObserver::stepRaised(const tPluginRecord& record, tPluginStep step) noexcept {
    try {
        std::string text;
        if (exceptionFromPlugin(text)) {
            tJournalRecord entry(tJournalEvent::pluginException, kPriorityError,
                                 "Exception from plugin " + record.description.name + " in " +
                                     pluginStepName(step) + ": " + text);
            journal.send(addPluginFields(entry, record, step));
        }
    } catch (...) {
        // No memory for the record: it is lost, the step goes on.
    }
    tChainedStepObserver::stepRaised(record, step);
}

void tJournalStepObserver::stepEnded(const tPluginRecord& record, tPluginStep step) noexcept {
    try {
        if (step == tPluginStep::initialize && record.initializeCode < 0) {
            journal.send(notStartedRecord(record));
        } else if (step == tPluginStep::stop && record.stopCode != 0) {
            journal.send(stepFailedRecord(record, step, record.stopCode));
        } else if (step == tPluginStep::cleanup && record.cleanupCode != 0) {
            journal.send(stepFailedRecord(record, step, record.cleanupCode));
        }
    } catch (...) {
        // As above.
    }
    tChainedStepObserver::stepEnded(record, step);
}
