// tStepBoardPoster: the plugin manager's step observer that posts each plugin
// step to a step board, for the thread that tells the service manager about
// it (see StepBoard.h).
//
// Ownership: refers to a board it does not own; the board must outlive the
// poster. The plugin manager keeps its records while their steps are posted;
// when an error leaves the start pass, passAbandoned() withdraws the step
// and waits out any reader still copying its name before the manager drops
// records; recordsMoving() does the same before a reload moves them.
// Threads: called on the pass's thread only, like every step observer; the
// board's readers may be on any thread. Nothing here throws.
#ifndef ZOKORVO_STEPBOARDPOSTER_H
#define ZOKORVO_STEPBOARDPOSTER_H

#include "servicemanager/StepBoard.h"
#include "plugins/tPluginManager.h"

class tStepBoardPoster : public tPluginStepObserver {
  public:
    explicit tStepBoardPoster(tStepBoard& stepBoard) : board(stepBoard) {}

    // The step shows on the board from before anything of it runs until its
    // code is in the record: a few atomic stores and one read of the clock.
    void stepBegins(const tPluginRecord& record, tPluginStep step) noexcept override;
    void stepRaised(const tPluginRecord& record, tPluginStep step) noexcept override;
    void stepEnded(const tPluginRecord& record, tPluginStep step) noexcept override;
    void passAbandoned() noexcept override;
    void recordsMoving() noexcept override;

  private:
    tStepBoard& board;
};

#endif  // ZOKORVO_STEPBOARDPOSTER_H
