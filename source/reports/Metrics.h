// The metrics file: the report in Prometheus' text exposition format, for
// node_exporter's textfile collector (or any reader of the format).
//
// renderMetrics() renders one report; the service writes it, when asked
// with --metrics-file, at the moments it writes the status file, through
// the same atomic, link-proof write. Every plugin series carries the labels
// plugin (its Name) and file (its description file's name), so that two
// plugins of one name stay two series. Label values hold valid UTF-8 with the format's
// escapes (see TextEscaping.h).
// Pure: thread-safe, nothing throws but std::bad_alloc.
#ifndef ZOKORVO_REPORTS_METRICS_H
#define ZOKORVO_REPORTS_METRICS_H

#include <string>

#include "reports/ServiceReport.h"

std::string renderMetrics(const tServiceReport& report);
// The same text appended to `text`, which a caller may keep from one write
// to the next so that its storage is reused.
void appendMetrics(std::string& text, const tServiceReport& report);

#endif  // ZOKORVO_REPORTS_METRICS_H
