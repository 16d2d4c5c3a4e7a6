// The report of zoKorvoPluginCheck, for people and for scripts.
//
// renderText: one block per description file (verdict, the plugin it
// describes, each error and warning with its line), the findings across
// files, the deployment permission, the start order with each plugin's
// verdict, and a summary line last. renderJson: the same facts as one JSON
// object (built with nlohmann-json), with fixed "kind" identifiers.
// Pure functions of the report; only std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_REPORT_H
#define ZOKORVO_PLUGINCHECK_REPORT_H

#include <string>

#include "CheckReport.h"

namespace nPluginCheck {

std::string renderText(const tCheckReport& report);
std::string renderJson(const tCheckReport& report);

// A failure that ended the check before there was a report (exit status 2).
std::string renderJsonError(const std::string& message);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_REPORT_H
