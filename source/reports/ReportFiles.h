// The files one report is written to: the status text and its JSON twin in
// the status directory, and the metrics file where the administrator asked
// for one. Each is rendered into a buffer the caller keeps from one write to
// the next, so that thousands of plugins are not rendered into freshly
// grown storage at every write, and replaced by the atomic, link-proof
// write of StatusFile.h.
// Failures: as writeFileAtomically() reports them (zoerr::Exception), or
// std::bad_alloc; a file not yet replaced stays as it was.
// Not thread-safe: one writer, the service's main thread.
#ifndef ZOKORVO_REPORTS_REPORTFILES_H
#define ZOKORVO_REPORTS_REPORTFILES_H

#include <string>

#include "reports/ServiceReport.h"

// The status file's text of `report`, appended to `text`; returns where in
// `text` its messages end (the plugin text begins).
size_t appendStatusText(std::string& text, const tServiceReport& report);

// Writes the status text, then the JSON status, into `directory` (opened
// once for both), each rendered into `buffer`. Returns where the status
// text's messages end, as the file holds it.
size_t writeStatusFiles(const std::string& directory, const tServiceReport& report,
                        std::string& buffer);

// Writes the metrics of `report` to directory/name, the directory opened
// without following a link (see openDirectoryWithoutLinks), rendered into
// `buffer`.
void writeMetricsFile(const std::string& directory, const std::string& name,
                      const tServiceReport& report, std::string& buffer);

#endif  // ZOKORVO_REPORTS_REPORTFILES_H
