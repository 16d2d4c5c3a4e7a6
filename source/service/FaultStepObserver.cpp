#include "service/FaultStepObserver.h"

#include "service/PluginFaults.h"

void tFaultStepObserver::stepBegins(const tPluginRecord& record, tPluginStep step) noexcept {
    nPluginFaults::stepBegins(record.description.name, step);
    startingRecord = step == tPluginStep::initialize ? &record : nullptr;
    uintptr_t end = 0;
    if (step != tPluginStep::cleanup || !record.library.library.mappedRange(closingStart, end)) {
        closingStart = 0;
    }
    tChainedStepObserver::stepBegins(record, step);
    if (!lockHandedOver) {
        lockHandedOver = true;
        stateLock.unlock();
    }
}

void tFaultStepObserver::stepEnded(const tPluginRecord& record, tPluginStep step) noexcept {
    takeLockBack();
    startingRecord = nullptr;
    uintptr_t start = 0;
    uintptr_t end = 0;
    if (step == tPluginStep::initialize && record.library.library.mappedRange(start, end)) {
        nPluginFaults::libraryMapped(record.description.name, start, end);
    } else if (step == tPluginStep::cleanup && closingStart != 0 &&
               !record.library.library.isLoaded()) {
        nPluginFaults::libraryUnmapped(closingStart);
    }
    nPluginFaults::stepEnded();
    tChainedStepObserver::stepEnded(record, step);
}

void tFaultStepObserver::passAbandoned() noexcept {
    takeLockBack();
    startingRecord = nullptr;
    nPluginFaults::stepEnded();
    tChainedStepObserver::passAbandoned();
}

void tFaultStepObserver::recordsMoving() noexcept {
    nPluginFaults::recordsMoving();
    tChainedStepObserver::recordsMoving();
}

void tFaultStepObserver::takeLockBack() noexcept {
    if (lockHandedOver) {
        stateLock.lock();
        lockHandedOver = false;
    }
}
