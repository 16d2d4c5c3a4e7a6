// tPluginManager turns the ordered plugin descriptions into running plugins
// and later stops and unloads them; tPluginRecord is what it keeps per plugin.
//
// The service drives three passes: startPlugins() after the descriptions are
// read and ordered, then stopPlugins() and cleanupPlugins() when the service
// is told to stop; in between, reloadPlugins() any number of times, which
// keeps the running plugins whose files are unchanged, stops and cleans up
// the others and starts what is described but not running. Every description gets one record,
// started or not, with the code and whole-millisecond duration of each step;
// statusText() renders the records for the status file.
//
// Ownership: the manager owns its records from the start pass until it is
// destroyed. Destroying or copying a record never unloads its library: only
// the clean-up pass, or the failure path of the start pass, closes one.
// Failures: an exception from a plugin's step is mapped to a code in its
// record and the pass goes on; one that is not a standard exception (a plugin
// may throw anything) gives -52003 and a line of messages(). The handler has
// ended, and the exception is destroyed, before that plugin's library is
// closed: its type information and destructor may lie in the library. An error outside
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
#include <functional>
#include <string>
#include <vector>

#include "plugins/PluginStep.h"
#include "plugins/tPluginDescription.h"
#include "plugins/tPluginRecord.h"

class tStartedNames;

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
    // Comes before a reload moves the records to their new places: whoever
    // was shown a record must let go of it before it returns.
    virtual void recordsMoving() noexcept {}
};

// What the status file's messages say of one plugin, beside its codes.
struct tPluginNote {
    enum class tKind {
        unknownException,  // a step threw what is not a standard exception
        oldLibraryHeld,    // a reload found the old library still loaded
        libraryOverwritten,  // a reload found the library written over in place
        unsafeLibrary,     // the loader's judge refused a file of its load
        processRefused,    // its process settings or user cannot be taken
        processEnded,      // its own process ended or was killed
    };
    tKind kind;
    std::string plugin;  // the plugin's name
    std::string detail;  // unsafeLibrary: which file, and why
};

// The message line of `note`, without its line feed: "Unknown exception from
// plugin: <Name>", "Old library still loaded, new version not started: <Name>"
// "Unsafe plugin library: <Name>: <file and why>", "Plugin process
// refused: <Name>: <why>" or "Plugin <Name> (process <pid>) <how it ended>".
std::string pluginNoteLine(const tPluginNote& note);

class tPluginManager {
  public:
    // The observer of every later step, or null for none; not owned.
    void setStepObserver(tPluginStepObserver* observer) { stepObserver = observer; }

    // Admits, loads and initialises each plugin in the order given. A plugin
    // is admitted when its `requires` shares a bit with `capabilityMask`, and
    // starts only when every dependency started earlier in this pass.
    // Each record takes its description from `descriptions`, which the caller may hand over.
    void startPlugins(std::vector<tPluginDescription> descriptions, uint32_t capabilityMask);

    // Stop, then clean-up, of every record, or of the records `selected`
    // marks (one flag per record), last record first.
    void stopPlugins(const std::vector<bool>* selected = nullptr);
    void cleanupPlugins(const std::vector<bool>* selected = nullptr);

    // The reload (see PluginReload.cpp). A running plugin is kept, and gets
    // no call at all, when `descriptions` hold its description file with the
    // same fingerprint, the file its library was loaded from is still the
    // same file, it is still admitted under `capabilityMask` and every plugin
    // it depends on is kept. Every other running plugin gets Stop, then
    // Cleanup and the close, last started first. Then every description not
    // kept is started in the order given, as the start pass does it; a
    // dependency counts as started when it is kept or started in this pass.
    // `stopRequested` is asked before each start step: once it answers true
    // nothing more starts, and the plugins not started are left out of the
    // records. The records end up in the order given, each with its
    // reloadRole; stoppedByLastReload() names the plugins stopped for good.
    // A running plugin whose library file was written over in place (same
    // inode, other content) is stopped like a replaced one, with a note, and
    // `beforeStop`, when given, is called once such notes are made and
    // before any Stop runs.
    void reloadPlugins(std::vector<tPluginDescription> descriptions, uint32_t capabilityMask,
                       const std::function<bool()>& stopRequested,
                       const std::function<void()>& beforeStop = {});

    // A reload that could not read the directory: every running plugin is
    // kept, the others were not part of it.
    void keepEveryPluginForReload();
    // True when the file some running plugin's library was loaded from is
    // no longer that file (replaced, or written over in place): a reload
    // would start that plugin again.
    bool anyRunningLibraryChanged() const;

    // Plugins in processes of their own (PluginRestart.cpp). The records of
    // the running isolated plugins whose process has ended since their start
    // step, seen without waiting, in start order.
    std::vector<size_t> endedProcesses();
    // The running plugins that depend, directly or through others, on one of
    // the records `ended`: one flag per record.
    std::vector<bool> dependentsOf(const std::vector<size_t>& ended) const;
    // Lets go of an ended process: no Stop or Cleanup, since there is
    // nothing left to run them in; the record's state becomes `state`.
    void letGoOfProcess(size_t record, tProcessState state);
    // Runs the start step again of the records `selected` marks, in start
    // order, as a reload starts what is not running: a dependency counts as
    // started when it runs, or started earlier in this call.
    void restartPlugins(const std::vector<bool>& selected, uint32_t capabilityMask);
    // The Names of the plugins the last reload stopped that no description
    // names any more; empty before any reload.
    const std::vector<std::string>& stoppedByLastReload() const { return stoppedForGood; }

    // One block per record, in start order; empty without records.
    std::string statusText() const;
    // The same text, appended to `text`: the status file is built in one string.
    void appendStatusText(std::string& text) const;

    const std::vector<tPluginRecord>& records() const { return pluginRecords; }
    // One record, to change what the reports show of it (its process).
    tPluginRecord& recordAt(size_t record) { return pluginRecords[record]; }

    // Lines for the status file's messages, each ending in "\n": one per
    // plugin step that threw something other than a standard exception, and
    // one per plugin whose new library a reload could not start because the
    // loader still held the old one. A reload starts them afresh.
    std::string messages() const;
    // What those lines say, of which plugin, in the same order.
    const std::vector<tPluginNote>& notes() const { return pluginNotes; }

  private:
    int32_t startPlugin(tPluginRecord& record, uint32_t capabilityMask, tStartedNames& startedNames,
                        size_t plugin);
    int32_t codeOfRaised(const tPluginRecord& record, tPluginStep step);
    void admitProcessSettings(const tPluginRecord& record);
    static void rememberProcess(tPluginRecord& record);
    int32_t runStep(tPluginRecord& record, tPluginStep pluginStep, void (tPluginLibrary::*step)());
    void runStartStep(tPluginRecord& record, uint32_t capabilityMask, tStartedNames& startedNames,
                      size_t plugin);
    void runReversePass(tPluginStep pluginStep, void (tPluginLibrary::*step)(),
                        bool closeAfterwards, int32_t tPluginRecord::*code,
                        uint64_t tPluginRecord::*timeMs, const std::vector<bool>* selected);
    // Reload helpers, in PluginReload.cpp.
    struct tReloadPlan;
    tReloadPlan planReload(std::vector<tPluginDescription>& descriptions,
                           uint32_t capabilityMask) const;
    void moveRecordsTo(tReloadPlan& plan, std::vector<tPluginDescription>& descriptions);
    // A start pass over every record in its place, none started yet, with
    // the loader's judge told that a pass begins.
    tStartedNames passOverEveryRecord() const;
    void startNotKept(const tReloadPlan& plan, uint32_t capabilityMask,
                      const std::function<bool()>& stopRequested);
    bool oldLibraryHeld(const tPluginRecord& record);
    void dropRecords(const std::vector<bool>& dropped);
    void notePlugin(tPluginNote::tKind kind, const tPluginRecord& record,
                    const std::string& detail = std::string()) noexcept;
    // Notes the end of an isolated plugin's process during `step`, if it ended in it.
    void noteProcessEndIn(const tPluginRecord& record, tPluginStep step) noexcept;
    void notify(void (tPluginStepObserver::*event)(const tPluginRecord&, tPluginStep) noexcept,
                const tPluginRecord& record, tPluginStep step) const;

    std::vector<tPluginRecord> pluginRecords;
    std::vector<tPluginNote> pluginNotes;
    std::vector<std::string> stoppedForGood;
    tPluginStepObserver* stepObserver = nullptr;
};

// True when a plugin that requires `requires` may start under
// `capabilityMask`: the two share at least one bit, so 0 is never admitted.
bool pluginAdmitted(uint32_t requires, uint32_t capabilityMask);

#endif  // ZOKORVO_TPLUGINMANAGER_H
