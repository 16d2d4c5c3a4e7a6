// tPluginManager turns the ordered plugin descriptions into running plugins
// and later stops and unloads them; tPluginRecord is what it keeps per plugin.
//
// The service drives three passes, each once: startPlugins() after the
// descriptions are read and ordered, then stopPlugins() and cleanupPlugins()
// when the service is told to stop. Every description gets one record,
// started or not, with the code and whole-millisecond duration of each step;
// statusText() renders the records for the status file.
//
// Ownership: the manager owns its records from the start pass until it is
// destroyed. Destroying or copying a record never unloads its library: only
// the clean-up pass, or the failure path of the start pass, closes one.
// Failures: an exception from a plugin's step is mapped to a code in its
// record and the pass goes on; one that is not a standard exception (a plugin
// may throw anything) gives -52003 and a line of messages(). An error outside
// the plugins' code (no memory) leaves the pass; the records appended so far
// stay.
// Not thread-safe: every pass runs on the service's run-cycle thread. An
// optional tPluginStepObserver is told when each step begins, raises and
// ends; without one it costs a test as each step begins and ends. The records stay in place
// while their steps are observed, so an observer may show a record to another
// thread (StepBoardPoster.h does, for the service manager's notifications)
// until the observer is told that the start pass was abandoned.
#ifndef ZOKORVO_TPLUGINMANAGER_H
#define ZOKORVO_TPLUGINMANAGER_H

#include <cstdint>
#include <string>
#include <vector>

#include "PluginStep.h"
#include "tPluginDescription.h"
#include "tPluginLibrary.h"

class tStartedNames;

struct tPluginRecord {
    tPluginLibrary library;
    tPluginDescription description;
    // The start step's code is the plugin's Initialize result when it
    // started, else the code of the failure; the others are 0 or the code of
    // the error raised by their step.
    int32_t initializeCode = 0;
    int32_t stopCode = 0;
    int32_t cleanupCode = 0;
    uint64_t initializeTimeMs = 0;
    uint64_t stopTimeMs = 0;
    uint64_t cleanupTimeMs = 0;
};

// Told, on the pass's thread, about every step the manager runs. stepBegins
// comes before anything of the step (for Initialize: before admission and
// the library's open); stepEnded after the step's code and duration are in
// the record (for Cleanup: after the library's close). stepRaised is called
// inside the handler of the exception that the step raised, standard or
// not, so std::current_exception() is that exception. passAbandoned comes
// when an error outside the plugins' code leaves the start pass, before the
// records of the plugins not yet processed are dropped: whoever was shown a
// record must let go of it before passAbandoned returns. The observer must not
// throw.
class tPluginStepObserver {
  public:
    virtual ~tPluginStepObserver() = default;
    virtual void stepBegins(const tPluginRecord& record, tPluginStep step) noexcept = 0;
    virtual void stepRaised(const tPluginRecord& record, tPluginStep step) noexcept = 0;
    virtual void stepEnded(const tPluginRecord& record, tPluginStep step) noexcept = 0;
    virtual void passAbandoned() noexcept {}
};

class tPluginManager {
  public:
    // The observer of every later step, or null for none; not owned.
    void setStepObserver(tPluginStepObserver* observer) { stepObserver = observer; }

    // Admits, loads and initialises each plugin in the order given. A plugin
    // is admitted when its `requires` shares a bit with `capabilityMask`, and
    // starts only when every dependency started earlier in this pass.
    // Each record takes its description from `descriptions`, which the caller may hand over.
    void startPlugins(std::vector<tPluginDescription> descriptions, uint32_t capabilityMask);

    // Stop, then clean-up, of every record, last record first.
    void stopPlugins();
    void cleanupPlugins();

    // One block per record, in start order; empty without records.
    std::string statusText() const;
    // The same text, appended to `text`: the status file is built in one string.
    void appendStatusText(std::string& text) const;

    const std::vector<tPluginRecord>& getRecords() const { return records; }

    // Lines for the status file's messages, each ending in "\n": one per
    // plugin step that threw something other than a standard exception.
    std::string messages() const;
    // The names of the plugins of those lines, in the same order.
    const std::vector<std::string>& unknownExceptionPlugins() const {
        return unknownExceptionNames;
    }

  private:
    int32_t startPlugin(tPluginRecord& record, uint32_t capabilityMask, tStartedNames& startedNames,
                        size_t plugin, tPathSafety& pathSafety);
    void runReversePass(tPluginStep pluginStep, void (tPluginLibrary::*step)(),
                        int32_t tPluginRecord::*code, uint64_t tPluginRecord::*timeMs);
    void notify(void (tPluginStepObserver::*event)(const tPluginRecord&, tPluginStep) noexcept,
                const tPluginRecord& record, tPluginStep step) const;

    std::vector<tPluginRecord> records;
    std::vector<std::string> unknownExceptionNames;
    tPluginStepObserver* stepObserver = nullptr;
};

// True when a plugin that requires `requires` may start under
// `capabilityMask`: the two share at least one bit, so 0 is never admitted.
bool pluginAdmitted(uint32_t requires, uint32_t capabilityMask);

// The plugin status text of `records`, as statusText() renders it, returned or appended.
std::string renderPluginStatus(const std::vector<tPluginRecord>& records);
void appendPluginStatus(std::string& text, const std::vector<tPluginRecord>& records);

// How the start pass went, for the service manager:
// "Plugins: <S> started, <R> refused, <F> failed". Started counts those with
// a warning; refused, those not admitted (-52002), missing a dependency
// (-52006) or not permitted to be loaded (-52026); failed, every other error.
std::string startSummaryText(const std::vector<tPluginRecord>& records);

// "Unknown exception from plugin: <plugin>", the message line, without its line feed.
std::string unknownExceptionLine(const std::string& plugin);

#endif  // ZOKORVO_TPLUGINMANAGER_H
