// The service's events as journal records: what each says, at which
// priority, with which fields. tService logs its own events through the
// record functions; tJournalStepObserver logs the plugins' steps as the
// plugin manager runs them.
//
// The observer sends on the pass's thread (the main thread) and passes every
// event on to the observer chained behind it, so that the service manager's
// step board sees the same steps. It holds the journal and the chained
// observer without owning them. Nothing here throws out of an observer's
// call; a record that cannot be built for want of memory is lost.
#ifndef ZOKORVO_REPORTS_JOURNALEVENTS_H
#define ZOKORVO_REPORTS_JOURNALEVENTS_H

#include <cstdint>
#include <string>

#include "plugins/ChainedStepObserver.h"
#include "reports/Journal.h"
#include "reports/ServiceReport.h"
#include "plugins/tPluginManager.h"

tJournalRecord serviceStartedRecord(const std::string& pluginsDirectory);
// The answer of the deployment query, or `failure` when it could not be had.
tJournalRecord deploymentRecord(uint32_t capabilityMask, uint32_t attempts,
                                const std::string& failure);
// A description file refused unread or failed to parse: the message as the
// status file shows it, and `reason`, the detail behind it.
tJournalRecord descriptionRejectedRecord(const tReportMessage& message, const std::string& reason);
tJournalRecord startSummaryRecord(const std::vector<tPluginRecord>& records);
// What a reload did: "Reload: <K> kept, <S> stopped, <N> started, <R>
// refused, <F> failed", with each count in a field of its own.
tJournalRecord reloadSummaryRecord(const std::vector<tPluginRecord>& records,
                                   const std::vector<std::string>& stopped);
// A reload that could not be done: `failure` says why; every plugin that
// ran still runs.
tJournalRecord reloadFailedRecord(const std::string& failure, size_t running);
// The metrics file `path` could not be written (`failed`), or could be
// again after a failure.
tJournalRecord metricsWriteRecord(const std::string& path, bool failed);
// A running plugin whose library file a reload found written over in place.
tJournalRecord libraryOverwrittenRecord(const tPluginRecord& plugin);
tJournalRecord serviceStoppingRecord();
// A plugin called exit(): the service ends now. PLUGIN= when it is known.
tJournalRecord pluginExitRecord(const std::string& plugin, const std::string& line);
tJournalRecord serviceEndedRecord(uint64_t droppedRecords);
// An isolated plugin's process ended after its start: `line` is the status
// file's message line, `how` its end ("ended by SIGSEGV"); priority error,
// critical once the plugin is given up (its own MESSAGE_ID then).
// An isolated plugin's start step after a restart: its new process, or
// how the start failed (priority notice, error when it did not start).
tJournalRecord pluginProcessRestartedRecord(const tPluginRecord& plugin);
tJournalRecord pluginProcessEndedRecord(const tPluginRecord& plugin, const std::string& how,
                                        const std::string& line);

class tJournalStepObserver : public tChainedStepObserver {
  public:
    explicit tJournalStepObserver(tJournal& recordsTo) : journal(recordsTo) {}

    void stepRaised(const tPluginRecord& record, tPluginStep step) noexcept override;
    void stepEnded(const tPluginRecord& record, tPluginStep step) noexcept override;

  private:
    tJournal& journal;
};

#endif  // ZOKORVO_REPORTS_JOURNALEVENTS_H
