#include "reports/Metrics.h"

#include <algorithm>
#include <string_view>


#include "plugins/PluginStep.h"
#include "text/TextAppender.h"
#include "reports/TextEscaping.h"

namespace {

void appendFamily(tTextAppender& out, const char* name, const char* type, const char* help) {
    out.append("# HELP ");
    out.appendCString(name);
    out.push_back(' ');
    out.appendCString(help);
    out.append("\n# TYPE ");
    out.appendCString(name);
    out.push_back(' ');
    out.appendCString(type);
    out.push_back('\n');
}

// `name value\n`, the line of a series without labels.
template <typename Integer>
void appendSample(tTextAppender& out, const char* name, Integer value) {
    out.appendCString(name);
    out.push_back(' ');
    out.appendDecimal(value);
    out.push_back('\n');
}

// `plugin="<Name>",file="<description file's name>"` of every plugin, one
// after the other in one string, escaped once for the up to seven series of
// each plugin: the file's name alone tells plugins of one name apart, since
// discovery lists one directory.
class tPluginLabels {
  public:
    explicit tPluginLabels(const std::vector<tPluginRecord>& records) {
        ends.reserve(records.size());
        tTextAppender out(labels);
        for (const tPluginRecord& record : records) {
            const tPluginDescription& description = record.description;
            out.append("plugin=\"");
            appendLabelValue(out, description.name);
            out.append("\",file=\"");
            const size_t slash = description.file.rfind('/');
            appendLabelValue(out, slash == std::string::npos
                                      ? std::string_view(description.file)
                                      : std::string_view(description.file).substr(slash + 1));
            out.push_back('"');
            ends.push_back(out.size());
        }
    }
    void appendTo(tTextAppender& out, size_t plugin) const {
        const size_t begin = plugin == 0 ? 0 : ends[plugin - 1];
        out.append(labels.data() + begin, ends[plugin] - begin);
    }

  private:
    std::string labels;
    std::vector<size_t> ends;
};

// Whole milliseconds as seconds: "12.034".
void appendSeconds(tTextAppender& out, uint64_t milliseconds) {
    out.appendDecimal(milliseconds / 1000);
    const unsigned fraction = static_cast<unsigned>(milliseconds % 1000);
    const char decimals[4] = {'.', static_cast<char>('0' + fraction / 100),
                              static_cast<char>('0' + fraction / 10 % 10),
                              static_cast<char>('0' + fraction % 10)};
    out.append(decimals, sizeof decimals);
}

struct tStepSeries {
    tPluginStep step;
    int32_t tPluginRecord::*code;
    uint64_t tPluginRecord::*timeMs;
    bool ran;
};

// One family's line per plugin and step that ran; `value` appends the value.
template <typename Value>
void appendStepSeries(tTextAppender& out, const char* name,
                      const std::vector<tPluginRecord>& records, const tPluginLabels& labels,
                      const tStepSeries (&steps)[3], Value value) {
    for (size_t plugin = 0; plugin < records.size(); ++plugin) {
        const tPluginRecord& record = records[plugin];
        for (const tStepSeries& series : steps) {
            if (!series.ran) {
                continue;
            }
            out.appendCString(name);
            out.push_back('{');
            labels.appendTo(out, plugin);
            out.append(",step=\"");
            out.appendCString(pluginStepName(series.step));
            out.append("\"} ");
            value(out, record, series);
            out.push_back('\n');
        }
    }
}

void appendPluginFamilies(tTextAppender& out, const tServiceReport& report,
                          const std::vector<tPluginRecord>& records) {
    const tPluginLabels labels(records);
    appendFamily(out, "zokorvo_plugin_up", "gauge",
                 "Whether the plugin is started (1) or not (0).");
    for (size_t plugin = 0; plugin < records.size(); ++plugin) {
        out.append("zokorvo_plugin_up{");
        labels.appendTo(out, plugin);
        if (pluginState(records[plugin], report.stopPassRan) == tPluginState::started) {
            out.append("} 1\n");
        } else {
            out.append("} 0\n");
        }
    }
    const tStepSeries steps[3] = {
        {tPluginStep::initialize, &tPluginRecord::initializeCode, &tPluginRecord::initializeTimeMs,
         true},
        {tPluginStep::stop, &tPluginRecord::stopCode, &tPluginRecord::stopTimeMs,
         report.stopPassRan},
        {tPluginStep::cleanup, &tPluginRecord::cleanupCode, &tPluginRecord::cleanupTimeMs,
         report.cleanupPassRan},
    };
    appendFamily(out, "zokorvo_plugin_step_code", "gauge",
                 "Status code of the plugin's step: 0 success, negative error, positive warning.");
    appendStepSeries(out, "zokorvo_plugin_step_code", records, labels, steps,
                     [](tTextAppender& to, const tPluginRecord& record, const tStepSeries& series) {
                         to.appendDecimal(record.*series.code);  // may be negative
                     });
    appendFamily(out, "zokorvo_plugin_step_seconds", "gauge",
                 "Duration of the plugin's step in seconds, to the millisecond.");
    appendStepSeries(out, "zokorvo_plugin_step_seconds", records, labels, steps,
                     [](tTextAppender& to, const tPluginRecord& record, const tStepSeries& series) {
                         appendSeconds(to, record.*series.timeMs);
                     });
}

// The processes of isolated plugins; nothing when no plugin has one, so
// that a service without them writes what it always wrote.
void appendProcessFamilies(tTextAppender& out, const std::vector<tPluginRecord>& records) {
    const auto isolated = [](const tPluginRecord& record) {
        return record.process.state != tProcessState::none;
    };
    if (std::none_of(records.begin(), records.end(), isolated)) {
        return;
    }
    const tPluginLabels labels(records);
    const auto appendEach = [&](const char* name, const auto& appendValue) {
        for (size_t plugin = 0; plugin < records.size(); ++plugin) {
            if (isolated(records[plugin])) {
                out.appendCString(name);
                out.push_back('{');
                labels.appendTo(out, plugin);
                appendValue(records[plugin].process);
            }
        }
    };
    appendFamily(out, "zokorvo_plugin_process_id", "gauge",
                 "Process id of the isolated plugin's last process, with the user it runs as.");
    appendEach("zokorvo_plugin_process_id", [&](const tPluginProcessRecord& process) {
        out.append(",user=\"");
        appendLabelValue(out, process.user);
        out.append("\"} ");
        out.appendDecimal(static_cast<long long>(process.pid));
        out.push_back('\n');
    });
    appendFamily(out, "zokorvo_plugin_process_restarts_total", "counter",
                 "How often the isolated plugin's process was started again after it ended.");
    appendEach("zokorvo_plugin_process_restarts_total", [&](const tPluginProcessRecord& process) {
        out.append("} ");
        out.appendDecimal(process.restarts);
        out.push_back('\n');
    });
    appendFamily(out, "zokorvo_plugin_process_state", "gauge",
                 "The isolated plugin's process state: 1 for the current one, 0 for the others.");
    for (const tProcessState state : {tProcessState::running, tProcessState::restarting,
                                      tProcessState::ended, tProcessState::givenUp,
                                      tProcessState::stopped}) {
        appendEach("zokorvo_plugin_process_state", [&](const tPluginProcessRecord& process) {
            out.append(",state=\"");
            out.appendCString(processStateName(state));
            out.append(process.state == state ? "\"} 1\n" : "\"} 0\n");
        });
    }
}

// `name{label="value"} count\n`, one line of a family counted by one label.
void appendLabelledCount(tTextAppender& out, const char* nameAndLabel, const char* value,
                         size_t count) {
    out.appendCString(nameAndLabel);
    out.appendCString(value);
    out.append("\"} ");
    out.appendDecimal(count);
    out.push_back('\n');
}

void appendServiceFamilies(tTextAppender& out, const tServiceReport& report,
                           const std::vector<tPluginRecord>& records) {
    const tStartCounts counts = countStartResults(records);
    appendFamily(out, "zokorvo_plugins", "gauge", "Plugins by the outcome of their start.");
    appendLabelledCount(out, "zokorvo_plugins{state=\"", "started", counts.started);
    appendLabelledCount(out, "zokorvo_plugins{state=\"", "refused", counts.refused);
    appendLabelledCount(out, "zokorvo_plugins{state=\"", "failed", counts.failed);
    appendFamily(out, "zokorvo_capability_mask", "gauge",
                 "Capabilities allowed to plugins, as a bit mask; bit 2 is remote deployment.");
    appendSample(out, "zokorvo_capability_mask", report.capabilityMask);
    appendFamily(out, "zokorvo_service_phase", "gauge",
                 "The service's phase: 1 for the current one, 0 for the others.");
    for (const tServicePhase phase :
         {tServicePhase::starting, tServicePhase::running, tServicePhase::stopping,
          tServicePhase::stopped, tServicePhase::aborted}) {
        appendLabelledCount(out, "zokorvo_service_phase{phase=\"", servicePhaseName(phase),
                            phase == report.phase ? 1 : 0);
    }
    appendFamily(out, "zokorvo_journal_records_dropped_total", "counter",
                 "Journal records dropped because they could not be sent at once.");
    appendSample(out, "zokorvo_journal_records_dropped_total", report.journalRecordsDropped);
    appendFamily(out, "zokorvo_status_write_timestamp_seconds", "gauge",
                 "Time of this write of the service's reports, in seconds since the epoch.");
    appendSample(out, "zokorvo_status_write_timestamp_seconds", report.now.tv_sec);
    appendFamily(out, "zokorvo_metrics_updated_timestamp_seconds", "gauge",
                 "Time this file was written, at least every metrics interval while the "
                 "service is alive, in seconds since the epoch.");
    appendSample(out, "zokorvo_metrics_updated_timestamp_seconds", report.now.tv_sec);
    appendFamily(out, "zokorvo_build_info", "gauge", "The service's version; always 1.");
    out.append("zokorvo_build_info{version=\"");
    appendLabelValue(out, ZO_VERSION);
    out.append("\"} 1\n");
    appendFamily(out, "zokorvo_start_time_seconds", "gauge",
                 "Time the service process started, in seconds since the epoch.");
    appendSample(out, "zokorvo_start_time_seconds", report.processStart.tv_sec);
    appendFamily(out, "zokorvo_description_files_rejected", "gauge",
                 "Description files that failed to parse or were refused as unsafe.");
    size_t rejected = 0;
    for (const tReportMessage& message : report.messagesOrNone()) {
        rejected += message.kind == tMessageKind::descriptionParse ||
                    message.kind == tMessageKind::descriptionUnsafe;
    }
    appendSample(out, "zokorvo_description_files_rejected", rejected);
}

// Present before any reload too, so that an alert on a failed reload has a
// series to watch from the start.
void appendLastReloadFamilies(tTextAppender& out, const tServiceReport& report) {
    appendFamily(out, "zokorvo_last_reload_successful", "gauge",
                 "Whether the last reload was done (1), or could not be (0); 1 before any.");
    appendSample(out, "zokorvo_last_reload_successful", report.lastReloadSuccessful() ? 1 : 0);
    appendFamily(out, "zokorvo_last_reload_success_timestamp_seconds", "gauge",
                 "Time the plugins were last read in full, by the start or a reload, in "
                 "seconds since the epoch.");
    appendSample(out, "zokorvo_last_reload_success_timestamp_seconds",
                 report.lastGoodReadAt.tv_sec);
}

// Only once a reload has run: a time of 0 would read as a reload in 1970.
void appendReloadFamilies(tTextAppender& out, const tServiceReport& report,
                          const std::vector<tPluginRecord>& records) {
    if (report.reload == nullptr) {
        return;
    }
    const tReloadCounts counts = countReloadOutcomes(records, *report.reload->stopped);
    appendFamily(out, "zokorvo_reload_timestamp_seconds", "gauge",
                 "Time the last reload began, in seconds since the epoch.");
    appendSample(out, "zokorvo_reload_timestamp_seconds", report.reload->at.tv_sec);
    appendFamily(out, "zokorvo_reload_plugins", "gauge",
                 "Plugins by what the last reload did with them.");
    const struct {
        const char* outcome;
        size_t count;
    } outcomes[] = {{"kept", counts.kept},
                    {"stopped", counts.stopped},
                    {"started", counts.started},
                    {"refused", counts.refused},
                    {"failed", counts.failed}};
    for (const auto& each : outcomes) {
        appendLabelledCount(out, "zokorvo_reload_plugins{outcome=\"", each.outcome, each.count);
    }
}

}  // namespace

std::string renderMetrics(const tServiceReport& report) {
    std::string out;
    out.reserve(2048 + report.recordsOrNone().size() * 640);
    appendMetrics(out, report);
    return out;
}

void appendMetrics(std::string& text, const tServiceReport& report) {
    const std::vector<tPluginRecord>& records = report.recordsOrNone();
    tTextAppender out(text);
    appendPluginFamilies(out, report, records);
    appendProcessFamilies(out, records);
    appendServiceFamilies(out, report, records);
    appendLastReloadFamilies(out, report);
    appendReloadFamilies(out, report, records);
}
