#include "reports/StatusJson.h"

#include <cstdio>
#include <cstring>

#include "text/TextAppender.h"
#include "reports/TextEscaping.h"

const char kStatusJsonFileName[] = "zoKorvoRemoteService.status.json";

namespace {

// Appends to one string, like the text status: thousands of plugins are
// rendered up to six times in a run, and a document tree of them would be
// built only to be thrown away.
class tJsonOut {
  public:
    explicit tJsonOut(tTextAppender& text) : out(text) {}

    // Keys are this program's literals, of a length known here.
    template <size_t N>
    tJsonOut& key(const char (&name)[N]) {
        return key(name, N - 1);
    }
    tJsonOut& keyCString(const char* name) { return key(name, strlen(name)); }
    void string(const std::string& value) {
        separate();
        appendJsonString(out, value);
        separator = true;
    }
    // Names and other fixed texts of this program: plain ASCII.
    void name(const char* value) {
        separate();
        out.push_back('"');
        out.appendCString(value);
        out.push_back('"');
        separator = true;
    }
    void number(long long value) {
        separate();
        out.appendDecimal(value);
        separator = true;
    }
    void null() { literal("null"); }
    // An empty text is null: nothing there.
    void stringOrNull(const std::string& value) {
        if (value.empty()) {
            null();
        } else {
            string(value);
        }
    }
    void boolean(bool value) { literal(value ? "true" : "false"); }
    void literal(const char* text) {
        separate();
        out.appendCString(text);
        separator = true;
    }
    void time(const timespec& value) {
        separate();
        std::string text(1, '"');
        appendIsoTime(text, value);
        text += '"';
        out.append(text);
        separator = true;
    }
    void open(char bracket) {
        separate();
        out.push_back(bracket);
        separator = false;
    }
    void close(char bracket) {
        out.push_back(bracket);
        separator = true;
    }

  private:
    // The separator, the quoted name and the colon in one piece.
    tJsonOut& key(const char* name, size_t length) {
        char* at = out.room(length + 4);
        const size_t comma = separator ? 1 : 0;
        *at = ',';
        at += comma;
        *at++ = '"';
        memcpy(at, name, length);
        at += length;
        *at++ = '"';
        *at = ':';
        out.advance(comma + length + 3);
        separator = false;
        return *this;
    }
    void separate() {
        if (separator) {
            out.push_back(',');
        }
    }

    tTextAppender& out;
    bool separator = false;
};

void renderMessages(tJsonOut& json, const std::vector<tReportMessage>& messages) {
    json.key("messages").open('[');
    for (const tReportMessage& message : messages) {
        json.open('{');
        json.key("kind").name(messageKindName(message.kind));
        if (!message.subject.empty()) {
            json.keyCString(messageNamesPath(message.kind) ? "path" : "plugin")
                .string(message.subject);
        }
        json.key("text").string(message.text);
        json.close('}');
    }
    json.close(']');
}

// A step that has not run has the code 0 and no duration.
void renderStep(tJsonOut& json, const char* step, const std::string& entry, int32_t code,
                uint64_t timeMs, bool ran) {
    json.keyCString(step).open('{');
    json.key("entry");
    if (entry.empty()) {
        json.null();
    } else {
        json.string(entry);
    }
    json.key("code").number(code);
    json.key("codeName");
    const char* codeName = errorConstantName(code);
    if (codeName != nullptr) {
        json.name(codeName);
    } else {
        json.null();
    }
    json.key("ms");
    if (ran) {
        json.number(static_cast<long long>(timeMs));
    } else {
        json.null();
    }
    json.close('}');
}

// What a reload compares, so that a prediction of it can compare the same:
// the description file's fingerprint, and the library file as loaded.
void renderIdentities(tJsonOut& json, const tPluginRecord& record) {
    char fingerprint[20];
    snprintf(fingerprint, sizeof fingerprint, "%016llx",
             static_cast<unsigned long long>(record.description.fileFingerprint));
    json.key("fingerprint").name(fingerprint);
    const tFileIdentity& identity = record.library.identity;
    json.key("loaded");
    if (!record.library.running() || !identity.known) {
        json.null();
        return;
    }
    json.open('{');
    json.key("file").string(record.library.loadedFileName());
    json.key("device").number(static_cast<long long>(identity.device));
    json.key("inode").number(static_cast<long long>(identity.inode));
    json.key("size").number(static_cast<long long>(identity.size));
    json.key("modifiedNs").number(static_cast<long long>(identity.modifiedNs));
    json.close('}');
}

// An isolated plugin's process; null for a plugin in the service's process.
void renderProcess(tJsonOut& json, const tPluginProcessRecord& process) {
    json.key("process");
    const char* state = processStateName(process.state);
    if (state == nullptr) {
        json.null();
        return;
    }
    json.open('{');
    json.key("pid").number(static_cast<long long>(process.pid));
    json.key("user").stringOrNull(process.user);
    json.key("restarts").number(static_cast<long long>(process.restarts));
    json.key("state").name(state);
    json.close('}');
}

void renderPlugin(tJsonOut& json, const tPluginRecord& record, const tServiceReport& report) {
    const tPluginDescription& description = record.description;
    json.open('{');
    json.key("name").string(description.name);
    json.key("dependencies").open('[');
    for (const std::string& dependency : description.dependencies) {
        json.string(dependency);
    }
    json.close(']');
    json.key("file").string(description.file);
    json.key("library").string(description.path);
    renderIdentities(json, record);
    json.key("requires").number(description.requires);
    json.key("state").name(pluginStateName(pluginState(record, report.stopPassRan)));
    json.key("reload");
    const char* outcome = reloadOutcomeName(reloadOutcome(record));
    if (outcome != nullptr) {
        json.name(outcome);
    } else {
        json.null();
    }
    json.key("steps").open('{');
    renderStep(json, "initialize", description.initializeSymbol, record.initializeCode,
               record.initializeTimeMs, true);
    renderStep(json, "stop", description.stopSymbol, record.stopCode, record.stopTimeMs,
               report.stopPassRan);
    renderStep(json, "cleanup", description.cleanupSymbol, record.cleanupCode, record.cleanupTimeMs,
               report.cleanupPassRan);
    json.close('}');
    renderProcess(json, record.process);
    json.close('}');
}

void renderCounts(tJsonOut& json, const std::vector<tPluginRecord>& records) {
    const tStartCounts counts = countStartResults(records);
    json.key("counts").open('{');
    json.key("started").number(static_cast<long long>(counts.started));
    json.key("refused").number(static_cast<long long>(counts.refused));
    json.key("failed").number(static_cast<long long>(counts.failed));
    json.close('}');
}

void renderReload(tJsonOut& json, const tServiceReport& report,
                  const std::vector<tPluginRecord>& records) {
    json.key("reload");
    if (report.reload == nullptr) {
        json.null();
        return;
    }
    const std::vector<std::string>& stopped = *report.reload->stopped;
    json.open('{');
    json.key("at").time(report.reload->at);
    json.key("successful").boolean(report.reload->failure.empty());
    json.key("failure").stringOrNull(report.reload->failure);
    json.key("stopped").open('[');
    for (const std::string& name : stopped) {
        json.string(name);
    }
    json.close(']');
    const tReloadCounts counts = countReloadOutcomes(records, stopped);
    json.key("counts").open('{');
    json.key("kept").number(static_cast<long long>(counts.kept));
    json.key("stopped").number(static_cast<long long>(counts.stopped));
    json.key("started").number(static_cast<long long>(counts.started));
    json.key("refused").number(static_cast<long long>(counts.refused));
    json.key("failed").number(static_cast<long long>(counts.failed));
    json.close('}');
    json.close('}');
}

}  // namespace

std::string renderStatusJson(const tServiceReport& report) {
    std::string text;
    // About what a plugin with short names takes, so that the text is
    // seldom moved while it grows.
    text.reserve(1024 + report.recordsOrNone().size() * 512);
    appendStatusJson(text, report);
    return text;
}

void appendStatusJson(std::string& text, const tServiceReport& report) {
    const std::vector<tReportMessage>& messages = report.messagesOrNone();
    const std::vector<tPluginRecord>& records = report.recordsOrNone();
    tTextAppender out(text);
    tJsonOut json(out);
    json.open('{');
    json.key("schema").number(kStatusJsonSchema);
    json.key("pid").number(report.pid);
    json.key("phase").name(servicePhaseName(report.phase));
    json.key("started").time(report.processStart);
    json.key("updated").time(report.now);
    json.key("initTimeMs");
    if (report.initTimeMs != 0) {
        json.number(static_cast<long long>(report.initTimeMs));
    } else {
        json.null();
    }
    json.key("deployment").open('{');
    json.key("mask").number(report.capabilityMask);
    json.key("attempts").number(report.deploymentAttempts);
    json.close('}');
    json.key("journalRecordsDropped").number(static_cast<long long>(report.journalRecordsDropped));
    json.key("metricsFile").stringOrNull(report.metricsFile);
    renderMessages(json, messages);
    json.key("plugins").open('[');
    for (const tPluginRecord& record : records) {
        renderPlugin(json, record, report);
    }
    json.close(']');
    renderCounts(json, records);
    renderReload(json, report, records);
    json.close('}');
    out.push_back('\n');
}
