// tServiceReport: what the service has done, at the moment of one write, as
// every report reads it. The status text, its JSON twin and the metrics file
// are renderings of one report, so that they never disagree.
//
// The report holds the service's own facts by value and points at the
// plugin records and the messages, which the service owns and keeps in
// place while the report is rendered. Building or reading a report changes
// nothing; it belongs to the thread that built it (the main thread).
// Nothing here throws but std::bad_alloc.
#ifndef ZOKORVO_REPORTS_SERVICEREPORT_H
#define ZOKORVO_REPORTS_SERVICEREPORT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "plugins/tPluginManager.h"

// Where the service is in its life: starting until the start pass is
// written, running until it is told to stop, stopping while it stops and
// cleans up its plugins, stopped after that; aborted when a plugin ended the
// process (exit) without the plugins being stopped.
enum class tServicePhase { starting, running, stopping, stopped, aborted };
const char* servicePhaseName(tServicePhase phase);

enum class tMessageKind {
    pluginsDirectory,   // the plugins directory could not be listed; subject: the directory
    descriptionParse,   // a description file failed to parse; subject: its path
    descriptionUnsafe,  // a description file was refused unread; subject: its path
    deployment,         // the deployment query failed; no subject
    pluginException,    // a plugin threw what is not a standard exception; subject: its name
    metrics,            // the metrics file could not be written; subject: its path
    oldLibrary,         // a reload found a plugin's old library still loaded; subject: its name
    libraryOverwritten, // a reload found a plugin's library written over in place; subject: its name
    reload,             // a reload failed outside the plugins' code; no subject
    pluginFault,        // a plugin ended the service (exit, crash); subject: its name
    unsafeLibrary,      // the loader's judge refused a file of a plugin's load; subject: its name
    pluginProcess,      // an isolated plugin's process was refused, ended or restarts; subject: its name
};
// "pluginsDirectory", "descriptionParse", ...: the kind as the JSON status names it.
const char* messageKindName(tMessageKind kind);
// True when a message's subject is a path, false when a plugin's name.
bool messageNamesPath(tMessageKind kind);
// The kind of the message that says what `note` says of a plugin.
tMessageKind pluginMessageKind(tPluginNote::tKind kind);

// One line of the status file's messages, and what it is about.
struct tReportMessage {
    tMessageKind kind;
    std::string subject;  // a path or a plugin's name; empty when there is none
    std::string text;     // the line as the status file shows it, without its line feed
};

// The status file's messages: every line, each ending in "\n".
std::string messageLines(const std::vector<tReportMessage>& messages);

// A plugin after its start step: refused are the codes that say it was not
// let start (-52002, -52006, -52026, -52043), failed every other error, started
// any code of 0 or more; stopped, a started plugin once the stop pass ran.
enum class tPluginState { started, refused, failed, stopped };
const char* pluginStateName(tPluginState state);
tPluginState pluginState(const tPluginRecord& record, bool stopPassRan);

// The name of the error constant the service raises `code` as
// ("zoqelerr_featureUnsupported"), or null for a code of the plugin's own, a
// warning, success and -52000, which has no name.
const char* errorConstantName(int32_t code);

struct tStartCounts {
    size_t started = 0;
    size_t refused = 0;
    size_t failed = 0;
};
// How the start pass went, by the rule of pluginState().
tStartCounts countStartResults(const std::vector<tPluginRecord>& records);
// How the start pass went, for the service manager:
// "Plugins: <S> started, <R> refused, <F> failed". Started counts those with
// a warning; refused, those not admitted (-52002), missing a dependency
// (-52006) or not permitted to be loaded (-52026); failed, every other error.
std::string startSummaryText(const std::vector<tPluginRecord>& records);

// What the last reload did with a plugin: kept it untouched, or ran its
// start step, which it passed (started), was not let pass (refused) or
// failed, by the rule of pluginState(); none when it was not part of one.
enum class tReloadOutcome { none, kept, started, refused, failed };
// "kept", "started", ...; null for none.
const char* reloadOutcomeName(tReloadOutcome outcome);
tReloadOutcome reloadOutcome(const tPluginRecord& record);

struct tReloadCounts {
    size_t kept = 0;
    size_t stopped = 0;  // stopped for good: its description file is gone
    size_t started = 0;
    size_t refused = 0;
    size_t failed = 0;
};
tReloadCounts countReloadOutcomes(const std::vector<tPluginRecord>& records,
                                  const std::vector<std::string>& stopped);

// The last reload: when it began, the plugins it stopped for good, and why
// it could not be done, if it could not (the plugins directory could not be
// read, or an error outside the plugins' code ended it).
struct tReloadReport {
    timespec at{};
    const std::vector<std::string>* stopped = nullptr;  // never null in a report
    std::string failure;                                 // empty: it was done
};

struct tServiceReport {
    tServicePhase phase = tServicePhase::starting;
    pid_t pid = 0;
    timespec processStart{};  // wall-clock time the service was built
    timespec now{};           // wall-clock time of this write
    uint32_t capabilityMask = 0xFFFFFFFF;
    uint64_t initTimeMs = 0;          // 0: not measured
    uint32_t deploymentAttempts = 0;  // 0: not asked
    bool stopPassRan = false;
    bool cleanupPassRan = false;
    uint64_t journalRecordsDropped = 0;
    const std::vector<tReportMessage>* messages = nullptr;
    const std::vector<tPluginRecord>* records = nullptr;
    const tReloadReport* reload = nullptr;  // null before any reload
    // When the plugins were last read in full: the start, or the last reload
    // that was done.
    timespec lastGoodReadAt{};
    // When the metrics file was written last (the heartbeat included); zero
    // while it has not been.
    timespec metricsWrittenAt{};
    // The metrics file's path; empty when none is written.
    std::string metricsFile;

    // True before any reload and after one that was done.
    bool lastReloadSuccessful() const { return reload == nullptr || reload->failure.empty(); }

    // The messages and the records, empty when the report names none.
    const std::vector<tReportMessage>& messagesOrNone() const;
    const std::vector<tPluginRecord>& recordsOrNone() const;
};

#endif  // ZOKORVO_REPORTS_SERVICEREPORT_H
