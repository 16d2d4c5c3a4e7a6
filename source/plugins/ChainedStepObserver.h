// tChainedStepObserver: a plugin step observer that passes every event on to
// the observer chained behind it, so that several observers see the same
// steps through the manager's one observer slot.
//
// A derived observer overrides the events it acts on and calls the base's
// to pass them on. It holds the chained observer without owning it; the
// chained one must outlive it. Called on the pass's thread only; nothing
// here throws.
#ifndef ZOKORVO_PLUGINS_CHAINEDSTEPOBSERVER_H
#define ZOKORVO_PLUGINS_CHAINEDSTEPOBSERVER_H

#include "plugins/tPluginManager.h"

class tChainedStepObserver : public tPluginStepObserver {
  public:
    // Every later event goes on to `observer` too; null for none.
    void chainTo(tPluginStepObserver* observer) { next = observer; }

    void stepBegins(const tPluginRecord& record, tPluginStep step) noexcept override {
        if (next != nullptr) {
            next->stepBegins(record, step);
        }
    }
    void stepRaised(const tPluginRecord& record, tPluginStep step) noexcept override {
        if (next != nullptr) {
            next->stepRaised(record, step);
        }
    }
    void stepEnded(const tPluginRecord& record, tPluginStep step) noexcept override {
        if (next != nullptr) {
            next->stepEnded(record, step);
        }
    }
    void passAbandoned() noexcept override {
        if (next != nullptr) {
            next->passAbandoned();
        }
    }
    void recordsMoving() noexcept override {
        if (next != nullptr) {
            next->recordsMoving();
        }
    }

  private:
    tPluginStepObserver* next = nullptr;
};

#endif  // ZOKORVO_PLUGINS_CHAINEDSTEPOBSERVER_H
