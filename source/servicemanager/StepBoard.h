// tStepBoard: what the main thread is doing right now, for the thread that
// tells the service manager about it.
//
// The main thread posts each plugin step (Initialize, Stop, Cleanup) and each
// pause of the deployment permission query as it begins and ends; the
// watching thread reads a consistent snapshot whenever it wakes. Posting is a
// handful of atomic stores and never blocks or calls the system, so the
// start of thousands of plugins pays next to nothing for it.
//
// Threads: one posting thread (the main thread) and any number of readers.
// A snapshot is taken lock-free: a sequence number, odd while a post is half
// written, tells the reader to read again. The plugin name in a snapshot is
// a copy; the board itself only points at the name in the plugin's record, so
// the record must outlive every reader that may still see its step: the
// manager keeps its records while steps are posted (through the observer of
// StepBoardPoster.h), and withdraw() lets the main thread wait out a reader
// before records go early.
// Nothing here fails or throws, except std::bad_alloc when a snapshot copies
// the name.
#ifndef ZOKORVO_STEPBOARD_H
#define ZOKORVO_STEPBOARD_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "system/Mutex.h"
#include "plugins/PluginStep.h"

// What the board shows: no step, one of the plugin steps, or a pause of the
// deployment permission query.
enum class tStepKind : uint32_t { none, initialize, stop, cleanup, permissionPause };

// The board's kind of a plugin step: the plugin steps, in their order, right after none.
constexpr tStepKind stepKindOf(tPluginStep step) {
    return static_cast<tStepKind>(static_cast<uint32_t>(step) + 1);
}
static_assert(stepKindOf(tPluginStep::initialize) == tStepKind::initialize &&
                  stepKindOf(tPluginStep::stop) == tStepKind::stop &&
                  stepKindOf(tPluginStep::cleanup) == tStepKind::cleanup,
              "the board's plugin kinds follow the plugin steps");

struct tStepSnapshot {
    tStepKind kind = tStepKind::none;
    // Each post changes it: two snapshots with the same value saw the same step.
    uint64_t sequence = 0;
    uint64_t startNs = 0;
    std::string pluginName;
    // For a permission pause: the attempt that failed and the pause's length.
    uint32_t failedAttempt = 0;
    uint32_t pauseMs = 0;
};

class tStepBoard {
  public:
    // `name` must stay where it is until the step has ended (see the top).
    void beginPluginStep(tPluginStep step, const std::string& name, uint64_t startNs);
    void beginPermissionPause(uint32_t failedAttempt, uint32_t pauseMs, uint64_t startNs);
    void endStep();

    // Ends any step and waits until no reader is still copying its name.
    void withdraw();

    tStepSnapshot snapshot() const;
    // The sequence of the step now on the board, without copying anything.
    uint64_t currentSequence() const;

  private:
    void post(tStepKind kind, const std::string* name, uint64_t startNs, uint32_t failedAttempt,
              uint32_t pauseMs);

    std::atomic<uint64_t> sequence{0};
    std::atomic<tStepKind> kind{tStepKind::none};
    std::atomic<const std::string*> pluginName{nullptr};
    std::atomic<uint64_t> startNs{0};
    std::atomic<uint32_t> failedAttempt{0};
    std::atomic<uint32_t> pauseMs{0};
    // Held by a reader while it copies the name; see withdraw().
    mutable tMutex nameCopy;
};

// The deployment query's `pause`, posted to `board` for as long as it lasts:
// the query pauses once after each failed attempt, so the n-th pause follows
// the n-th failed attempt.
std::function<void(uint32_t)> pausePostedTo(tStepBoard& board, std::function<void(uint32_t)> pause);

// The text the service manager shows for a step that has run for a while,
// or "" when the step is too young to mention (under 1 s) or none runs:
//   "<Step> of plugin <Name> running for <N> s"
//   "Deployment permission: attempt <K> of 7 failed, next attempt in <N> s"
std::string stepProgressText(const tStepSnapshot& step, uint64_t nowNs);

// `name` as a status shows it: a long name is cut, visibly, with "...", to
// at most 200 bytes, never inside a UTF-8 character.
std::string shownPluginName(const std::string& name);

// When stepProgressText() next changes its text for the same step: the next
// whole second of the step's age, or of the pause's remaining time.
uint64_t nextProgressChangeNs(const tStepSnapshot& step, uint64_t nowNs);

// False once one plugin step has run for `intervalUs` or longer: the
// service manager's watchdog is then left hungry, or its start timeout no
// longer extended, so that it ends the stuck service. Waiting, the service's
// own work and the permission pauses count as healthy.
bool serviceHealthy(const tStepSnapshot& step, uint64_t nowNs, uint64_t intervalUs);

#endif  // ZOKORVO_STEPBOARD_H
