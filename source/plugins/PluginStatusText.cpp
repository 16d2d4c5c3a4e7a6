// The plugin status text: one block per record for the status file.
#include <string>

#include "plugins/PluginStatusText.h"

#include "text/TextAppender.h"
#include "text/VisibleText.h"

namespace {

// A step has lines only when it has something to report: a duration of at
// least 1 ms or a non-zero code.
void renderStep(tTextAppender& text, const std::string& entryName, const char* fixedLabel,
                uint64_t timeMs, int32_t code) {
    if (timeMs == 0 && code == 0) {
        return;
    }
    const auto appendLabel = [&] {
        if (entryName.empty()) {
            text.appendCString(fixedLabel);
        } else {
            appendVisible(text, entryName);
        }
    };
    appendLabel();
    text.append(" Time: ");
    text.appendDecimal(static_cast<uint32_t>(timeMs));
    text.append(" ms\n");
    appendLabel();
    text.append(" Code: ");
    text.appendDecimal(code);
    text.push_back('\n');
}

void renderRecord(tTextAppender& text, const tPluginRecord& record) {
    const tPluginDescription& description = record.description;
    appendVisible(text, description.name);
    text.append(" (depends on ");
    bool first = true;
    for (const std::string& dependency : description.dependencies) {
        if (!first) {
            text.append(", ");
        }
        first = false;
        appendVisible(text, dependency);
    }
    text.append(")\nLoaded From: ");
    appendVisible(text, description.path);
    text.append("\nRequires: ");
    text.appendDecimal(description.requires);
    text.push_back('\n');
    renderStep(text, description.initializeSymbol, "Init", record.initializeTimeMs,
               record.initializeCode);
    renderStep(text, description.stopSymbol, "Stop", record.stopTimeMs, record.stopCode);
    renderStep(text, description.cleanupSymbol, "Cleanup", record.cleanupTimeMs,
               record.cleanupCode);
    text.push_back('\n');
}

}  // namespace

// Written up to three times per run with a block per plugin, so the text is
// appended to one string rather than formatted through a stream.
void appendPluginStatus(std::string& text, const std::vector<tPluginRecord>& records) {
    tTextAppender appender(text);
    for (const tPluginRecord& record : records) {
        renderRecord(appender, record);
    }
}

std::string renderPluginStatus(const std::vector<tPluginRecord>& records) {
    std::string text;
    appendPluginStatus(text, records);
    return text;
}
