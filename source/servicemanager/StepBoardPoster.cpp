#include "servicemanager/StepBoardPoster.h"

#include "zoqel/quarks/synchronization.h"

void tStepBoardPoster::stepBegins(const tPluginRecord& record, tPluginStep step) noexcept {
    // The manager reads the clock for the step's duration only after its
    // observer has been told, so that an observer's own work never counts in
    // the plugin's time; the board takes its own reading.
    board.beginPluginStep(step, record.description.name, zoqel::monotonicNowNs());
}

void tStepBoardPoster::stepRaised(const tPluginRecord&, tPluginStep) noexcept {
    // The step stays on the board until it has ended.
}

void tStepBoardPoster::stepEnded(const tPluginRecord&, tPluginStep) noexcept {
    board.endStep();
}

void tStepBoardPoster::passAbandoned() noexcept {
    board.withdraw();
}

void tStepBoardPoster::recordsMoving() noexcept {
    board.withdraw();
}
