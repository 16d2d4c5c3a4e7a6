#include "servicemanager/StepBoard.h"

#include <thread>
#include <utility>

#include "system/DeploymentPermission.h"
#include "zoqel/quarks/synchronization.h"

namespace {

constexpr uint64_t kNsPerSecond = 1000000000;
constexpr uint64_t kNsPerUs = 1000;
// A step is mentioned once it has run this long.
constexpr uint64_t kMentionAfterNs = kNsPerSecond;
// A plugin's name is shown up to this many bytes: the status must fit in one
// notification, and a line that long is read no further anyway.
constexpr size_t kMaxShownNameBytes = 200;
constexpr char kCutMark[] = "...";

bool isPluginStep(tStepKind kind) {
    return kind == tStepKind::initialize || kind == tStepKind::stop || kind == tStepKind::cleanup;
}

// The plugin step a plugin kind shows; see stepKindOf().
tPluginStep pluginStepOf(tStepKind kind) {
    return static_cast<tPluginStep>(static_cast<uint32_t>(kind) - 1);
}

uint64_t ageNs(const tStepSnapshot& step, uint64_t nowNs) {
    return nowNs > step.startNs ? nowNs - step.startNs : 0;
}

uint64_t pauseEndNs(const tStepSnapshot& step) {
    return step.startNs + uint64_t{step.pauseMs} * 1000000;
}

// Whole seconds left of the pause, rounded up: "next attempt in 10 s" right
// after the attempt failed, never "in 0 s" while the pause lasts.
uint64_t pauseSecondsLeft(const tStepSnapshot& step, uint64_t nowNs) {
    const uint64_t end = pauseEndNs(step);
    return end > nowNs ? (end - nowNs + kNsPerSecond - 1) / kNsPerSecond : 0;
}

std::string permissionPauseText(const tStepSnapshot& step, uint64_t nowNs) {
    const std::string attempts =
        "Deployment permission: attempt " + std::to_string(step.failedAttempt) + " of " +
        std::to_string(zoKorvoRemoteService::kDeploymentAttempts) + " failed, ";
    const std::string seconds = std::to_string(pauseSecondsLeft(step, nowNs)) + " s";
    // The query pauses after its last attempt too, and then gives up.
    if (step.failedAttempt >= zoKorvoRemoteService::kDeploymentAttempts) {
        return attempts + "no answer; going on in " + seconds;
    }
    return attempts + "next attempt in " + seconds;
}

}  // namespace

std::string shownPluginName(const std::string& name) {
    if (name.size() <= kMaxShownNameBytes) {
        return name;
    }
    size_t cut = kMaxShownNameBytes - (sizeof kCutMark - 1);
    // Never inside a UTF-8 character: back to the byte that starts one.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return name.substr(0, cut) + kCutMark;
}

void tStepBoard::post(tStepKind newKind, const std::string* name, uint64_t newStartNs,
                      uint32_t newFailedAttempt, uint32_t newPauseMs) {
    // Only the main thread posts, so it may read its own sequence relaxed.
    // Odd while the fields change; the release stores keep the fields from
    // showing before the odd number, and the even number from showing before
    // the fields (see snapshot()).
    const uint64_t posted = sequence.load(std::memory_order_relaxed);
    sequence.store(posted + 1, std::memory_order_relaxed);
    kind.store(newKind, std::memory_order_release);
    pluginName.store(name, std::memory_order_release);
    startNs.store(newStartNs, std::memory_order_release);
    failedAttempt.store(newFailedAttempt, std::memory_order_release);
    pauseMs.store(newPauseMs, std::memory_order_release);
    sequence.store(posted + 2, std::memory_order_release);
}

void tStepBoard::beginPluginStep(tPluginStep step, const std::string& name, uint64_t newStartNs) {
    post(stepKindOf(step), &name, newStartNs, 0, 0);
}

void tStepBoard::beginPermissionPause(uint32_t newFailedAttempt, uint32_t newPauseMs,
                                      uint64_t newStartNs) {
    post(tStepKind::permissionPause, nullptr, newStartNs, newFailedAttempt, newPauseMs);
}

void tStepBoard::endStep() {
    post(tStepKind::none, nullptr, 0, 0, 0);
}

void tStepBoard::withdraw() {
    endStep();
    // A reader that saw the step before it ended may still be copying the
    // name; once it lets go, every later reader sees no step.
    const tMutexLock waitForReader(nameCopy);
}

uint64_t tStepBoard::currentSequence() const {
    return sequence.load(std::memory_order_acquire);
}

tStepSnapshot tStepBoard::snapshot() const {
    const tMutexLock copying(nameCopy);
    tStepSnapshot step;
    for (;;) {
        // Every load acquires, so none of them moves past the next: a field
        // written by a later post makes the second sequence differ.
        const uint64_t before = sequence.load(std::memory_order_acquire);
        step.kind = kind.load(std::memory_order_acquire);
        const std::string* name = pluginName.load(std::memory_order_acquire);
        step.startNs = startNs.load(std::memory_order_acquire);
        step.failedAttempt = failedAttempt.load(std::memory_order_acquire);
        step.pauseMs = pauseMs.load(std::memory_order_acquire);
        if (before % 2 == 0 && before == sequence.load(std::memory_order_acquire)) {
            step.sequence = before;
            // The name stays in place until its step has been withdrawn,
            // which waits for this copy.
            step.pluginName = name != nullptr ? *name : std::string();
            return step;
        }
        std::this_thread::yield();
    }
}

std::function<void(uint32_t)> pausePostedTo(tStepBoard& board,
                                            std::function<void(uint32_t)> pause) {
    return [&board, pause = std::move(pause), failedAttempts = uint32_t{0}](uint32_t ms) mutable {
        board.beginPermissionPause(++failedAttempts, ms, zoqel::monotonicNowNs());
        pause(ms);
        board.endStep();
    };
}

std::string stepProgressText(const tStepSnapshot& step, uint64_t nowNs) {
    if (step.kind == tStepKind::permissionPause) {
        return permissionPauseText(step, nowNs);
    }
    const uint64_t age = ageNs(step, nowNs);
    if (!isPluginStep(step.kind) || age < kMentionAfterNs) {
        return "";
    }
    return std::string(pluginStepName(pluginStepOf(step.kind))) + " of plugin " +
           shownPluginName(step.pluginName) + " running for " + std::to_string(age / kNsPerSecond) +
           " s";
}

uint64_t nextProgressChangeNs(const tStepSnapshot& step, uint64_t nowNs) {
    if (step.kind == tStepKind::permissionPause) {
        const uint64_t end = pauseEndNs(step);
        if (end <= nowNs) {
            return nowNs + kNsPerSecond;
        }
        // The rounded-up count drops when the time left reaches a whole second.
        return end - ((end - nowNs - 1) / kNsPerSecond) * kNsPerSecond;
    }
    if (!isPluginStep(step.kind)) {
        return nowNs + kNsPerSecond;
    }
    return step.startNs + (ageNs(step, nowNs) / kNsPerSecond + 1) * kNsPerSecond;
}

bool serviceHealthy(const tStepSnapshot& step, uint64_t nowNs, uint64_t intervalUs) {
    return !isPluginStep(step.kind) || ageNs(step, nowNs) < intervalUs * kNsPerUs;
}
