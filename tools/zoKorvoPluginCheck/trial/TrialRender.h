// The trial's part of the checker's report, for people and for scripts:
// renderTrialText appends a "Trial" section (who ran it where, then each
// plugin's verdict, its steps with code and duration, an exception, a crash
// or hang with its step, and what it left behind); trialJson gives the same
// facts as the "trial" member of the JSON report. Pure functions of the
// trial report; only std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_TRIALRENDER_H
#define ZOKORVO_PLUGINCHECK_TRIALRENDER_H

#include <nlohmann/json.hpp>
#include <sstream>

#include "TrialReport.h"

namespace nPluginCheck {

void renderTrialText(std::ostringstream& text, const tTrialReport& trial);
nlohmann::ordered_json trialJson(const tTrialReport& trial);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_TRIALRENDER_H
