// What the trial (--trial) found: for each plugin it tried, the code and
// duration of every step that ran, a crash or hang with the step that was
// running, an exception with its type and text, and what the plugin left
// behind after its Cleanup and close.
//
// Plain value types, filled by the trial's parent (Trial) from what its
// child processes report (TrialEvents) and read by the renderers
// (TrialRender). Not thread-safe; nothing here fails but std::bad_alloc.
#ifndef ZOKORVO_PLUGINCHECK_TRIALREPORT_H
#define ZOKORVO_PLUGINCHECK_TRIALREPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/tPluginManager.h"

namespace nPluginCheck {

// One step that came to its end, with the manager's code and duration.
struct tStepTrial {
    tPluginStep step = tPluginStep::initialize;
    unsigned child = 0;  // the child process that ran it, from 1
    // False when none of the plugin's code ran in it: the manager refused it,
    // or (Stop, Cleanup) the plugin had not started.
    bool ran = true;
    int32_t code = 0;
    uint64_t timeMs = 0;
    // The plugin's own exception, "type: what()"; empty when none was raised.
    std::string exception;
    // What the step did to the process that the service would suffer from,
    // for a person: descriptors it closed, signals it blocked or took over.
    std::vector<std::string> findings;
};

// What a plugin left behind, each item described for a person
// ("thread 4711 (worker)", "fd 7 -> /tmp/log", ...).
struct tLeftovers {
    std::vector<std::string> threads;
    std::vector<std::string> descriptors;
    std::vector<std::string> processes;  // all of them ended by the trial
    std::vector<std::string> libraries;  // still mapped after the close

    bool empty() const {
        return threads.empty() && descriptors.empty() && processes.empty() && libraries.empty();
    }
};

enum class tTrialEnd {
    completed,     // its steps ran to their end (codes may still be failures)
    crashed,       // the child ended (a signal or an exit) while its step ran
    hung,          // its step outlasted the step timeout; the child was ended
    escaped,       // an exception that is not a standard exception left the pass
    brokeChannel,  // its step closed or replaced the trial's report channel
    interrupted,   // SIGINT or SIGTERM ended the trial before its steps ended
    notTried,      // never tried: see `notTriedReason`
};

struct tPluginTrial {
    std::string name;
    std::string file;  // its description file
    std::vector<std::string> dependencies;
    unsigned child = 0;  // which child process tried it last, from 1; 0: none
    tTrialEnd end = tTrialEnd::notTried;
    std::vector<tStepTrial> steps;  // the steps that came to their end, in order, of every child
    // For crashed, hung, escaped, brokeChannel and interrupted: the step that was running;
    // after its close, while the trial looked for what it left behind; or in
    // the running phase, when the faulting code lay in its library.
    tPluginStep failedStep = tPluginStep::initialize;
    bool afterClose = false;
    // The failed step was the opening of its library (its constructors, the
    // loader's work), reported as the step "Load".
    bool failedInLoad = false;
    bool inRunningPhase = false;
    bool interruptedInStep = false;  // interrupted while `failedStep` ran
    // Crashed in its own code while no step of its own ran: when, for a
    // person ("the running phase", "Stop of \"other\""); empty otherwise.
    std::string crashedDuring;
    std::string faultLibrary;  // crashed in code of this file of its own
    int signal = 0;            // crashed by this signal, or
    int exitStatus = -1;       // crashed by ending with this status
    std::string exception;     // escaped: the exception's type
    std::string notTriedReason;
    // It ran in an earlier child, and a later one refused it: why.
    std::string refusedOnRetry;
    // What its code did to the trial's report channel: stray bytes, a lost message.
    std::vector<std::string> channelFaults;
    tLeftovers leftovers;
};

// The step that failed, as a person reads it: "Load" for the library's
// opening, else the plugin step's name.
std::string failedStepName(const tPluginTrial& plugin);

// How many times the plugin's own Initialize ran (once per child that tried it).
unsigned initializeRuns(const tPluginTrial& plugin);

struct tTrialReport {
    std::string user;  // the user the trial ran as: name, or uid alone
    uint32_t uid = 0;
    std::string workingDirectory;
    std::string libraryPath;  // LD_LIBRARY_PATH, empty when unset
    double stepTimeoutSeconds = 0;
    double runForSeconds = 0;  // the running phase between the start and the stop
    unsigned children = 0;     // child processes started
    bool interrupted = false;  // SIGINT or SIGTERM ended the trial early
    // The child ended outside every step: when and how, for a person.
    std::vector<std::string> notes;
    std::vector<tPluginTrial> plugins;  // in start order
};

// True when a plugin's trial shows nothing wrong: every step ran, no code is
// negative, no exception, no finding, nothing done to the channel, nothing left behind.
bool trialWithoutProblems(const tPluginTrial& plugin);
// Without problems, but its Initialize returned a positive code: a warning,
// as the service shows it; the plugin runs.
bool trialWarned(const tPluginTrial& plugin);
// Without problems and without a warning.
bool trialClean(const tPluginTrial& plugin);
// True when any plugin's trial has problems, the trial has notes, or was
// interrupted; a warning is no problem.
bool trialFoundProblems(const tTrialReport& trial);
// The first positive Initialize code of a plugin's trial; 0 when none.
int32_t warningCode(const tPluginTrial& plugin);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_TRIALREPORT_H
