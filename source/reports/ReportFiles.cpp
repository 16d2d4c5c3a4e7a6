#include "reports/ReportFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include "plugins/PluginStatusText.h"
#include "reports/StatusFile.h"
#include "reports/Metrics.h"
#include "reports/StatusJson.h"

namespace {

// Closes the directory however the writes end.
class tOpenDirectory {
  public:
    explicit tOpenDirectory(const std::string& path)
        : descriptor(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
    ~tOpenDirectory() {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    tOpenDirectory(const tOpenDirectory&) = delete;
    tOpenDirectory& operator=(const tOpenDirectory&) = delete;
    int get() const { return descriptor; }

  private:
    int descriptor;
};

}  // namespace

size_t appendStatusText(std::string& text, const tServiceReport& report) {
    // The plugin text comes last in the report and is appended in place:
    // with thousands of plugins it is the bulk of the file.
    appendStatusHead(text, report.capabilityMask, report.initTimeMs,
                     messageLines(report.messagesOrNone()), report.now.tv_sec);
    const size_t messagesEnd = text.size();
    appendPluginStatus(text, report.recordsOrNone());
    return messagesEnd;
}

size_t writeStatusFiles(const std::string& directory, const tServiceReport& report,
                        std::string& buffer) {
    const tOpenDirectory held(directory);
    buffer.clear();
    const size_t messagesEnd = appendStatusText(buffer, report);
    writeFileAtomicallyIn(held.get(), kStatusFileName, buffer);
    buffer.clear();
    appendStatusJson(buffer, report);
    writeFileAtomicallyIn(held.get(), kStatusJsonFileName, buffer);
    return messagesEnd;
}

void writeMetricsFile(const std::string& directory, const std::string& name,
                      const tServiceReport& report, std::string& buffer) {
    buffer.clear();
    appendMetrics(buffer, report);
    writeFileAtomicallyAt(openDirectoryWithoutLinks(directory), name, buffer);
}
