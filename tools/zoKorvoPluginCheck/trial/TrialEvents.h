// The messages a trial child sends its parent over its report channel
// (ReportChannel.h): one JSON object per frame, written with one write(2)
// each, so that the parent knows at every moment which plugin's which step
// is running, and still has every whole message when the child dies.
//
//   {"event":"begins","plugin":2,"step":"Stop"}
//   {"event":"begins","plugin":2,"step":"Initialize","opening":true}
//                                      its library is being opened (constructors, the
//                                      loader's work); "begins" Initialize again follows
//   {"event":"raised","plugin":2,"step":"Stop","exception":"std::runtime_error: ..."}
//   {"event":"ended","plugin":2,"step":"Stop","code":-52003,"timeMs":0,"ran":true,
//    "findings":["closed descriptors it did not open: 3, 4"]}
//   {"event":"running"}                every plugin's start step ended: the running phase
//   {"event":"fault","plugin":2,"signal":11,"library":"/usr/lib/x.so"}
//                                      a crash, from the child's own handler; "plugin" when
//                                      the faulting code lies in that plugin's library
//   {"event":"checking","plugin":2,"step":"Cleanup",...}
//                                      as "ended" for a Cleanup with its close, and
//                                      the look for what it left begins at once
//   {"event":"leftovers","plugin":2,"leftovers":{"threads":[...],...}}
//   {"event":"abandoned","plugin":2}   the child ends: plugin 2 left threads
//   {"event":"escaped","exception":"int"}  a foreign exception left the pass
//   {"event":"done"}                   every pass ran to its end
//
// "plugin" is the plugin's position in the child's plan. Pure functions;
// decodeTrialEvent returns false for a text that is not a whole message.
#ifndef ZOKORVO_PLUGINCHECK_TRIALEVENTS_H
#define ZOKORVO_PLUGINCHECK_TRIALEVENTS_H

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "TrialReport.h"

namespace nPluginCheck {

// The JSON form of what a plugin left behind, in the events and the report:
// {"threads":[...],"descriptors":[...],"processes":[...],"libraries":[...]}.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(tLeftovers, threads, descriptors, processes, libraries)

enum class tTrialEventKind {
    begins,
    raised,
    ended,
    checking,
    leftovers,
    abandoned,
    escaped,
    done,
    running,
    fault
};

// A fault's "plugin" when the faulting code lies in no plugin's library.
constexpr size_t kNoPlugin = static_cast<size_t>(-1);

struct tTrialEvent {
    tTrialEventKind kind = tTrialEventKind::done;
    size_t plugin = 0;
    // begins, raised, ended: the step (raised: with its exception);
    // escaped: the exception's type alone.
    tStepTrial step;
    tLeftovers leftovers;
    bool opening = false;  // begins: the library's opening, before Initialize proper
    int signal = 0;        // fault
    std::string library;   // fault: the file of the faulting code, when known
};

// The event as one message, without a newline.
std::string encodeTrialEvent(const tTrialEvent& event);
bool decodeTrialEvent(const std::string& line, tTrialEvent& event);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_TRIALEVENTS_H
