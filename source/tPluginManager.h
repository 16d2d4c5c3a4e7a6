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
// Failures: a standard exception inside a plugin's step is mapped to a code
// in its record and the pass goes on. Any other exception (a plugin may
// throw anything) leaves the pass; the records appended so far stay.
// Not thread-safe: every pass runs on the service's run-cycle thread.
#ifndef ZOKORVO_TPLUGINMANAGER_H
#define ZOKORVO_TPLUGINMANAGER_H

#include <cstdint>
#include <string>
#include <vector>

#include "tPluginDescription.h"
#include "tPluginLibrary.h"

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

class tPluginManager {
  public:
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

  private:
    std::vector<tPluginRecord> records;
};

// True when a plugin that requires `requires` may start under
// `capabilityMask`: the two share at least one bit, so 0 is never admitted.
bool pluginAdmitted(uint32_t requires, uint32_t capabilityMask);

// The plugin status text of `records`, as statusText() renders it, returned or appended.
std::string renderPluginStatus(const std::vector<tPluginRecord>& records);
void appendPluginStatus(std::string& text, const std::vector<tPluginRecord>& records);

#endif  // ZOKORVO_TPLUGINMANAGER_H
