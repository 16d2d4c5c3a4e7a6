// The plugin status text: one block per record for the status file.
#include <sstream>

#include "tPluginManager.h"

namespace {

// A step has lines only when it has something to report: a duration of at
// least 1 ms or a non-zero code.
void renderStep(std::ostringstream& text, const std::string& entryName, const char* fixedLabel,
                uint64_t timeMs, int32_t code) {
    if (timeMs == 0 && code == 0) {
        return;
    }
    const std::string label = entryName.empty() ? fixedLabel : entryName;
    text << label << " Time: " << static_cast<uint32_t>(timeMs) << " ms\n";
    text << label << " Code: " << code << "\n";
}

void renderRecord(std::ostringstream& text, const tPluginRecord& record) {
    const tPluginDescription& description = record.description;
    text << description.name << " (depends on ";
    const char* separator = "";
    for (const std::string& dependency : description.dependencies) {
        text << separator << dependency;
        separator = ", ";
    }
    text << ")\n";
    text << "Loaded From: " << description.path << "\n";
    text << "Requires: " << description.requires << "\n";
    renderStep(text, description.initializeSymbol, "Init", record.initializeTimeMs,
               record.initializeCode);
    renderStep(text, description.stopSymbol, "Stop", record.stopTimeMs, record.stopCode);
    renderStep(text, description.cleanupSymbol, "Cleanup", record.cleanupTimeMs,
               record.cleanupCode);
    text << "\n";
}

}  // namespace

std::string renderPluginStatus(const std::vector<tPluginRecord>& records) {
    std::ostringstream text;
    for (const tPluginRecord& record : records) {
        renderRecord(text, record);
    }
    return text.str();
}

std::string tPluginManager::statusText() const {
    return renderPluginStatus(records);
}
