// tFaultStepObserver: the plugin manager's first step observer in the
// service. It tells the plugin-fault handlers (PluginFaults.h) which step
// runs and where each plugin's library lies, and it hands the service's
// state lock over while a plugin's code runs, so that a plugin thread that
// calls exit() can have the service's reports written while the main thread
// is inside a plugin, and never while the main thread changes them.
//
// The main thread holds `stateLock` whenever it touches the service's state;
// the observer releases it as a step begins (after the chained observers were
// told) and takes it back as the step ends (before they are told). Threads:
// the pass's thread only, like every step observer. Nothing here throws.
#ifndef ZOKORVO_SERVICE_FAULTSTEPOBSERVER_H
#define ZOKORVO_SERVICE_FAULTSTEPOBSERVER_H

#include <cstdint>
#include <mutex>

#include "plugins/ChainedStepObserver.h"

class tFaultStepObserver : public tChainedStepObserver {
  public:
    explicit tFaultStepObserver(std::recursive_timed_mutex& lock) : stateLock(lock) {}

    void stepBegins(const tPluginRecord& record, tPluginStep step) noexcept override;
    void stepEnded(const tPluginRecord& record, tPluginStep step) noexcept override;
    void passAbandoned() noexcept override;
    void recordsMoving() noexcept override;

    // The record whose Initialize runs now; null outside a start step. Read
    // only with the state lock held.
    const tPluginRecord* initializing() const { return startingRecord; }

  private:
    void takeLockBack() noexcept;

    std::recursive_timed_mutex& stateLock;
    bool lockHandedOver = false;
    const tPluginRecord* startingRecord = nullptr;
    // The library a clean-up step is closing, as it began.
    uintptr_t closingStart = 0;
};

#endif  // ZOKORVO_SERVICE_FAULTSTEPOBSERVER_H
