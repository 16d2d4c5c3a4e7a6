#include "reports/Metrics.h"

#include <charconv>

#include "PluginStep.h"
#include "reports/TextEscaping.h"

namespace {

void appendFamily(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// `plugin="<Name>",file="<description file's name>"`: the file's name alone
// tells plugins of one name apart, since discovery lists one directory.
std::string pluginLabels(const tPluginDescription& description) {
    std::string labels = "plugin=\"";
    appendLabelValue(labels, description.name);
    labels += "\",file=\"";
    const size_t slash = description.file.rfind('/');
    appendLabelValue(
        labels, slash == std::string::npos ? description.file : description.file.substr(slash + 1));
    labels += '"';
    return labels;
}

void appendNumber(std::string& out, uint64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Whole milliseconds as seconds: "12.034".
void appendSeconds(std::string& out, uint64_t milliseconds) {
    appendNumber(out, milliseconds / 1000);
    const unsigned fraction = static_cast<unsigned>(milliseconds % 1000);
    const char decimals[5] = {'.', static_cast<char>('0' + fraction / 100),
                              static_cast<char>('0' + fraction / 10 % 10),
                              static_cast<char>('0' + fraction % 10), '\0'};
    out.append(decimals, 4);
}

struct tStepSeries {
    tPluginStep step;
    int32_t tPluginRecord::*code;
    uint64_t tPluginRecord::*timeMs;
    bool ran;
};

// One family's line per plugin and step that ran; `value` appends the value.
template <typename Value>
void appendStepSeries(std::string& out, const char* name, const std::vector<tPluginRecord>& records,
                      const std::vector<std::string>& labels, const tStepSeries (&steps)[3],
                      Value value) {
    for (size_t plugin = 0; plugin < records.size(); ++plugin) {
        const tPluginRecord& record = records[plugin];
        for (const tStepSeries& series : steps) {
            if (!series.ran) {
                continue;
            }
            out += name;
            out += '{';
            out += labels[plugin];
            out += ",step=\"";
            out += pluginStepName(series.step);
            out += "\"} ";
            value(out, record, series);
            out += '\n';
        }
    }
}

void appendPluginFamilies(std::string& out, const tServiceReport& report,
                          const std::vector<tPluginRecord>& records) {
    // Escaped once for the up to seven series of each plugin.
    std::vector<std::string> labels;
    labels.reserve(records.size());
    for (const tPluginRecord& record : records) {
        labels.push_back(pluginLabels(record.description));
    }
    appendFamily(out, "zokorvo_plugin_up", "gauge",
                 "Whether the plugin is started (1) or not (0).");
    for (size_t plugin = 0; plugin < records.size(); ++plugin) {
        out += "zokorvo_plugin_up{";
        out += labels[plugin];
        out += pluginState(records[plugin], report.stopPassRan) == tPluginState::started ? "} 1\n"
                                                                                         : "} 0\n";
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
                     [](std::string& to, const tPluginRecord& record, const tStepSeries& series) {
                         to += std::to_string(record.*series.code);  // may be negative
                     });
    appendFamily(out, "zokorvo_plugin_step_seconds", "gauge",
                 "Duration of the plugin's step in seconds, to the millisecond.");
    appendStepSeries(out, "zokorvo_plugin_step_seconds", records, labels, steps,
                     [](std::string& to, const tPluginRecord& record, const tStepSeries& series) {
                         appendSeconds(to, record.*series.timeMs);
                     });
}

void appendServiceFamilies(std::string& out, const tServiceReport& report,
                           const std::vector<tPluginRecord>& records) {
    const tStartCounts counts = countStartResults(records);
    appendFamily(out, "zokorvo_plugins", "gauge", "Plugins by the outcome of their start.");
    out += "zokorvo_plugins{state=\"started\"} " + std::to_string(counts.started) + "\n";
    out += "zokorvo_plugins{state=\"refused\"} " + std::to_string(counts.refused) + "\n";
    out += "zokorvo_plugins{state=\"failed\"} " + std::to_string(counts.failed) + "\n";
    appendFamily(out, "zokorvo_capability_mask", "gauge",
                 "Capabilities allowed to plugins, as a bit mask; bit 2 is remote deployment.");
    out += "zokorvo_capability_mask " + std::to_string(report.capabilityMask) + "\n";
    appendFamily(out, "zokorvo_service_phase", "gauge",
                 "The service's phase: 1 for the current one, 0 for the others.");
    for (const tServicePhase phase : {tServicePhase::starting, tServicePhase::running,
                                      tServicePhase::stopping, tServicePhase::stopped}) {
        out += "zokorvo_service_phase{phase=\"";
        out += servicePhaseName(phase);
        out += phase == report.phase ? "\"} 1\n" : "\"} 0\n";
    }
    appendFamily(out, "zokorvo_journal_records_dropped_total", "counter",
                 "Journal records dropped because they could not be sent at once.");
    out += "zokorvo_journal_records_dropped_total " + std::to_string(report.journalRecordsDropped) +
           "\n";
    appendFamily(out, "zokorvo_status_write_timestamp_seconds", "gauge",
                 "Time of this write of the service's reports, in seconds since the epoch.");
    out += "zokorvo_status_write_timestamp_seconds " + std::to_string(report.now.tv_sec) + "\n";
}

// Only once a reload has run: a time of 0 would read as a reload in 1970.
void appendReloadFamilies(std::string& out, const tServiceReport& report,
                          const std::vector<tPluginRecord>& records) {
    if (report.reload == nullptr) {
        return;
    }
    const tReloadCounts counts = countReloadOutcomes(records, *report.reload->stopped);
    appendFamily(out, "zokorvo_reload_timestamp_seconds", "gauge",
                 "Time the last reload began, in seconds since the epoch.");
    out += "zokorvo_reload_timestamp_seconds " + std::to_string(report.reload->at.tv_sec) + "\n";
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
        out += "zokorvo_reload_plugins{outcome=\"";
        out += each.outcome;
        out += "\"} " + std::to_string(each.count) + "\n";
    }
}

}  // namespace

std::string renderMetrics(const tServiceReport& report) {
    static const std::vector<tPluginRecord> kNoRecords;
    const std::vector<tPluginRecord>& records =
        report.records != nullptr ? *report.records : kNoRecords;
    std::string out;
    out.reserve(2048 + records.size() * 640);
    appendPluginFamilies(out, report, records);
    appendServiceFamilies(out, report, records);
    appendReloadFamilies(out, report, records);
    return out;
}
