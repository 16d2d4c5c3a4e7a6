// tService: the one service object of the process and its run cycle.
//
// The process entry constructs it (construction writes the status file
// once), runs run() on the main thread, calls requestStop() or
// requestReload() from the stop thread when a signal arrives, and destroys
// it at the end (the destructor writes the status file a last time).
//
// Threads: requestStop() and requestReload() may be called from any thread,
// any number of times, before or during run(); a request made before run()
// waits is kept. A reload runs on the main thread, between steps, once the
// start pass is over: requests made while one runs give one more reload
// after it, and a stop request wins over a pending reload and ends a running
// one before its next start step. A reload requested during the start pass,
// or a change made meanwhile to the plugins directory or to the file of a
// running plugin's library, is done right after the pass and before the
// service announces itself ready (at most kReloadsBeforeReady of them): the
// service manager folds a reload asked for during the start into the start,
// and whoever waits for either then gets its result. Every other member runs on the main
// thread only.
// Reports: every write renders one tServiceReport as the status text, its
// JSON twin beside it, and, when asked, the metrics file; a journal, when
// given, gets a record of each event an operator acts on.
// A plugin that calls exit() has its line written through reportPluginExit()
// (see service/PluginFaults.h), from whichever thread called it: the main
// thread holds `stateLock` whenever it touches the service's state, and hands
// it over only while a plugin's step runs or while it waits for a request.
// Failures: construction throws zoerr::Exception when the wake event cannot
// be built. run() turns discovery and description failures into lines of
// `messages`; any other exception leaves it.
#ifndef ZOKORVO_TSERVICE_H
#define ZOKORVO_TSERVICE_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "servicemanager/StepBoardPoster.h"
#include "system/DirectoryChanges.h"
#include "reports/JournalEvents.h"
#include "reports/ServiceReport.h"
#include "service/FaultStepObserver.h"
#include "service/PluginFaults.h"
#include "plugins/tPluginDescription.h"
#include "plugins/tPluginManager.h"
#include "zoqel/quarks/synchronization.h"

class tServiceNotifier;

class tService : public tFaultReporter {
  public:
    tService();
    ~tService();
    tService(const tService&) = delete;
    tService& operator=(const tService&) = delete;

    void run();
    // Also announces the stop to the service manager at once, from the
    // calling thread, while the main thread may still be in a plugin's step.
    void requestStop();
    void requestReload();
    // Any thread: a plugin's process has ended; the run cycle looks at
    // every isolated plugin when it waits next.
    void requestPluginCheck();

    // Tells the service manager of readiness, progress and the stop through
    // `notifier` from now on; null, the default, tells nothing. The notifier
    // must live until it is replaced by null, and, since its thread reads the
    // plugins' names, end before the service is destroyed. Main thread only.
    void notifyThrough(tServiceNotifier* notifier);

    // Writes the metrics file `path` (absolute, its directory resolved to
    // no link, see StatusFile.h) at every later write of the status; empty,
    // the default, writes none. Main thread only.
    // The file is also rewritten, alone, every `intervalS` seconds while
    // the run cycle waits, so that its age tells whether the service lives.
    void writeMetricsTo(const std::string& path, unsigned intervalS = 60);
    // Sends the service's events to `journal` from now on; null, the
    // default, sends nothing. The journal must outlive its use. Main thread only.
    void logThrough(tJournal* journal);

    // Any thread: the line of a plugin that ends the process, as a message,
    // the phase "aborted", the status files and a journal record. Keeps the
    // state lock: nothing of the service's may change before the process ends.
    bool reportPluginExit(const std::string& plugin, const std::string& line,
                          unsigned waitMs) noexcept override;

  private:
    enum class tRequest { stop, reload, pluginCheck };

    // A plugin whose process ended, and the dependents stopped with it, to
    // be started again at `dueNs` (monotonicNowNs()); by description file.
    struct tPendingRestart {
        uint64_t dueNs = 0;
        std::vector<std::string> files;
    };
    // The isolated plugins whose process ended since the run cycle last
    // looked: each gets its message line and journal record, its
    // dependents are stopped, and it is let go of, restarted later or not
    // by its Restart= and the give-up rule.
    void superviseProcesses();
    // What becomes of one plugin whose process ended: the text after
    // "; " in its message line, and the back-off before its restart (0:
    // none).
    std::string decideRestart(tPluginRecord& record, uint64_t nowNs, uint64_t& delayNs);
    // Starts the plugins whose restart is due.
    void restartDuePlugins();
    // The earliest due restart, or UINT64_MAX.
    uint64_t nextRestartNs() const;

    // Waits until a stop or a reload is requested; a stop wins.
    tRequest waitForRequest();
    // Reads the plugins directory again, asks for the deployment permission
    // again and has the plugin manager keep, stop and start plugins to match.
    // When the directory cannot be listed, every plugin stays as it is.
    void reload();
    // True when a reload was requested while the plugins started (or were
    // reloaded before readiness), or when what they were started from
    // changed meanwhile.
    bool reloadDueBeforeReady();
    // The most reloads between the start pass and readiness.
    static constexpr int kReloadsBeforeReady = 3;
    // The plugin manager's reload; an error outside the plugins' code (no
    // memory) becomes a line of `messages`, and the answer, and leaves every
    // plugin that runs in the records. Empty when the reload was done.
    std::string reloadPlugins(std::vector<tPluginDescription> descriptions);
    // The plugins directory's lines of `messages`, as one reason.
    std::string directoryFailure() const;
    void tellOfOverwrittenLibraries();
    // Rewrites the metrics file alone, for the heartbeat.
    void writeMetricsHeartbeat();
    // Lists, reads and orders the descriptions; false when the directory
    // cannot be listed.
    bool readPluginsDirectory(std::vector<tPluginDescription>& descriptions);

    // Appends the description files' paths; false, with the line "Failed to
    // open plugins directory." in `messages`, when the directory cannot be
    // listed for any reason. A directory that is not safe is not listed, and
    // the line "Unsafe plugins directory: <path>" comes first.
    bool listDescriptionFiles(std::vector<std::string>& paths);
    // Parses each safe file from defaults; a file that is not safe (see
    // PathSafety.h) is not read, and one that is not safe or fails to parse
    // becomes a line of `messages` and contributes no description. Each
    // description carries its file's path and fingerprint.
    std::vector<tPluginDescription> readDescriptions(const std::vector<std::string>& paths);
    static std::string parseFailureReason(const std::string& path, const std::exception& error);

    // Clears kDeploymentCapability when the system configuration forbids
    // deployment; a failure to ask becomes a line of `messages` and leaves
    // the mask unchanged. Lets no standard exception out.
    void queryDeploymentPermission();

    // Posts readiness with the plugins' counts, after the start pass and
    // after each reload (the reload's failure first); never throws.
    void announceReady() noexcept;
    void announceReloaded() noexcept;

    // Whether the journal dropped a record that the last status did not count.
    bool journalDroppedSinceLastWrite() const;
    // Builds the report from the current state and replaces the status
    // file, its JSON twin and the metrics file with it. Lets nothing out: a
    // failed write is dropped and the service carries on.
    void writeStatus();
    // Writes the metrics file of `report` when asked; a failure becomes a
    // line of `messages` the first time, and then the answer is true.
    bool writeMetrics(const tServiceReport& report);
    // The report points into `allMessages` and `lastReload`, which it fills.
    tServiceReport currentReport(std::vector<tReportMessage>& allMessages,
                                 tReloadReport& lastReload) const;
    // Adds a line to `messages`.
    void note(tMessageKind kind, const std::string& subject, const std::string& text);
    // Sends the record `makeRecord()` builds to the journal, when there is
    // one; without one the record is not even built.
    template <typename MakeRecord>
    void log(MakeRecord makeRecord) {
        if (journal != nullptr) {
            journal->send(makeRecord());
        }
    }
    // Lets the journal's observer and the step board's poster both see the steps.
    void chainStepObservers();

    // The records as a status shows them after a plugin's exit: the one whose
    // Initialize did not return failed, and, in the start pass, none after it.
    std::vector<tPluginRecord> recordsRunSoFar(bool inStartPass) const;

    // Held by the main thread while it uses the service's state (see the top).
    // Not marked for clang's lock analysis (system/Mutex.h): the main thread
    // hands it over around each plugin step from the step observer's
    // callbacks, a hand-over across functions that the analysis cannot follow.
    mutable std::recursive_timed_mutex stateLock;
    tFaultStepObserver faultObserver{stateLock};
    // Set only while a plugin's exit is written.
    const std::vector<tPluginRecord>* recordsShown = nullptr;
    // Set by every request; the flags say which were made.
    zoqel::tEvent wakeEvent;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> reloadRequested{false};
    // Watches the plugins directory from each listing before readiness until
    // the next look; null at other times.
    std::unique_ptr<tDirectoryChanges> changesBeforeReady;
    // The start pass ended; reloads may follow before readiness (the phase
    // is still "starting" then).
    bool startPassOver = false;
    // Readiness was announced: a reload before it is part of the start.
    bool readyAnnounced = false;
    std::atomic<bool> pluginCheckRequested{false};
    std::vector<tPendingRestart> pendingRestarts;
    // The plugin records in start order; empty until the start pass.
    tPluginManager pluginManager;
    // Capabilities available to plugins; the deployment query may clear
    // kDeploymentCapability.
    uint32_t capabilityMask;
    // Whole milliseconds from the start of run() to the end of the
    // deployment query; 0 means not measured.
    uint64_t initTimeMs;
    // Error lines gathered during run(); the plugin manager adds its own.
    std::vector<tReportMessage> messages;
    tServicePhase phase = tServicePhase::starting;
    timespec builtAt{};
    uint32_t deploymentAttempts = 0;
    bool stopPassRan = false;
    bool cleanupPassRan = false;
    // Set when the first reload begins; the time is that of the last one.
    bool reloaded = false;
    timespec lastReloadAt{};
    // Why the last reload could not be done; empty when it was.
    std::string reloadFailure;
    // When the plugins were last read in full, by the start or a reload.
    timespec lastGoodReadAt{};
    // The journal's count of dropped records as the last status showed it.
    uint64_t droppedWhenLastWritten = 0;
    std::string metricsDirectory;  // empty: no metrics file
    std::string metricsName;
    uint64_t metricsIntervalNs = 60000000000u;
    // monotonicNowNs() of the last attempt to write the metrics file.
    uint64_t metricsWrittenNs = 0;
    timespec metricsWrittenAt{};  // wall-clock time of the last success
    bool metricsFailing = false;  // the last write failed
    // Why the metrics file's directory is one another user could change
    // (the file is then never written); empty when it is not.
    std::string metricsDirectoryUnsafe;
    // Every report is rendered here, and its storage kept for the next.
    std::string reportBuffer;
    tJournal* journal = nullptr;
    std::optional<tJournalStepObserver> journalObserver;
    tServiceNotifier* notifier = nullptr;
    // Posts the plugin steps to the notifier's board while there is a notifier.
    std::optional<tStepBoardPoster> stepPoster;
};

#endif  // ZOKORVO_TSERVICE_H
