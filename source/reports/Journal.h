// tJournal sends the service's records to the systemd journal through its
// native protocol, when the service's standard error is the journal.
//
// A record is one datagram of fields (MESSAGE, PRIORITY, MESSAGE_ID,
// SYSLOG_IDENTIFIER and the fields of its event); a value holding a line
// feed goes in the protocol's length-prefixed form, so any byte but none is
// lost. Sending never waits: a record that cannot go out at once (the
// journal is slow, gone, or the record is too large for one datagram) is
// dropped and counted, and the count shows in the status reports.
// Owns its socket. Not thread-safe: the main thread logs.
#ifndef ZOKORVO_REPORTS_JOURNAL_H
#define ZOKORVO_REPORTS_JOURNAL_H

#include <cstdint>
#include <memory>
#include <string>

#include "system/DatagramSocket.h"

// The kinds of event an operator acts on, each with a MESSAGE_ID of its own
// (the manual lists them).
enum class tJournalEvent {
    serviceStarted,       // version and plugins directory
    deploymentAnswer,     // the capability mask, or why the question failed
    descriptionRejected,  // a description file failed to parse or was unsafe
    pluginNotStarted,     // a plugin refused or failed at its start
    pluginException,      // an exception left a plugin's step
    startSummary,         // how many started, were refused, failed
    serviceStopping,      // the stop begins
    stepFailed,           // a plugin's Stop or Cleanup failed
    reloadSummary,        // what a reload kept, stopped, started
    reloadFailed,         // a reload that could not be done, and why
    metricsWriteFailed,   // the metrics file could not be written, or can be again
    libraryOverwritten,   // a reload found a plugin's library written over in place
    serviceEnded,         // the end, with the records dropped
    pluginExited,         // a plugin called exit() or quick_exit(): the service ends
    pluginCrashed,        // a crash signal, in a plugin's code or step: the service ends
    pluginOutput,         // a line an isolated plugin wrote to its standard output or error
    pluginProcessEnded,   // an isolated plugin's process ended after its start; restarts or not
    pluginProcessGivenUp, // an isolated plugin ended too often: no more restarts
    pluginProcessRestarted,  // an isolated plugin's start step ran again after its process ended
};

// The event's MESSAGE_ID: 32 lower-case hexadecimal digits.
const char* journalMessageId(tJournalEvent event);

// syslog(3) priorities as the journal's PRIORITY field takes them.
enum tJournalPriority {
    kPriorityCritical = 2,
    kPriorityError = 3,
    kPriorityWarning = 4,
    kPriorityNotice = 5,
    kPriorityInfo = 6
};

class tJournalRecord {
  public:
    tJournalRecord(tJournalEvent event, tJournalPriority priority, const std::string& message);
    // Adds NAME=value; `name` is upper case, digits and '_' (the protocol's rule).
    tJournalRecord& field(const char* name, const std::string& value);
    const std::string& datagram() const { return text; }

  private:
    std::string text;
};

class tJournal {
  public:
    // A journal when JOURNAL_STREAM names the device and inode of standard
    // error, as systemd sets it for a service whose output goes to the
    // journal; else null, and nothing is ever sent.
    static std::unique_ptr<tJournal> createWhenStderrIsJournal(const std::string& socketPath);
    explicit tJournal(const std::string& socketPath);

    void send(const tJournalRecord& record) noexcept;
    uint64_t droppedRecords() const noexcept { return dropped; }
    // The socket, for a last record sent from a signal handler.
    tDatagramSocket& datagramSocket() noexcept { return socket; }

  private:
    tDatagramSocket socket;
    uint64_t dropped = 0;
};

#endif  // ZOKORVO_REPORTS_JOURNAL_H
