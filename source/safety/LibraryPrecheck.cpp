#include "safety/LibraryPrecheck.h"

#include <sched.h>
#include <sys/stat.h>

#include "safety/PathSafety.h"
#include "system/ThreadWithoutStopSignals.h"

// g++ says so by a macro, clang by a feature.
#if defined(__SANITIZE_THREAD__)
#define ZO_UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZO_UNDER_THREAD_SANITIZER 1
#endif
#endif
#ifndef ZO_UNDER_THREAD_SANITIZER
#define ZO_UNDER_THREAD_SANITIZER 0
#endif

namespace {

constexpr size_t kBatch = 64;

// Takes the calling thread off `processor` when another is allowed to it.
// Failure leaves the thread where the scheduler puts it.
void keepOffProcessor(int processor) {
    cpu_set_t allowed;
    if (processor < 0 || processor >= CPU_SETSIZE ||
        sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(processor, &allowed) ||
        CPU_COUNT(&allowed) < 2) {
        return;
    }
    CPU_CLR(processor, &allowed);
    (void)sched_setaffinity(0, sizeof allowed, &allowed);
}

}  // namespace

tLibraryPrecheck::tLibraryPrecheck() {
    const int readingProcessor = sched_getcpu();
    thread = startWithoutStopSignals([this, readingProcessor] { judgeAll(readingProcessor); });
}

tLibraryPrecheck::~tLibraryPrecheck() {
    abandon();
}

// Absolute paths outside /proc only: a relative path depends on the working
// directory of its turn, a bare name on what is loaded by then, and a kernel
// link on the descriptors of that moment.
bool tLibraryPrecheck::judgeableAhead(const std::string& path) {
    return !path.empty() && path[0] == '/' && path.compare(0, 6, "/proc/") != 0;
}

void tLibraryPrecheck::expect(size_t capacity) {
    paths.reserve(capacity);
    verdicts.resize(capacity);
}

void tLibraryPrecheck::judge(const std::string& path) {
    if (!judgeableAhead(path) || paths.size() == paths.capacity() || !thread.joinable()) {
        return;
    }
    paths.push_back(path);
    // Woken for a batch, not for each library: a wake-up costs the reading
    // thread more than judging a library costs the other.
    if (paths.size() % kBatch == 0) {
        allHandedOver();
    }
}

void tLibraryPrecheck::allHandedOver() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        published = paths.size();
    }
    handedOver.notify_one();
}

void tLibraryPrecheck::finish() {
    if (!thread.joinable()) {
        return;
    }
    allHandedOver();
    // The thread may have started late or fallen behind: what it has not
    // claimed yet is judged here, beside it, instead of at its turn.
    try {
        tPathSafety pathSafety;
        judgeClaimed(pathSafety, paths.size());
    } catch (...) {
        // No memory: what is left is judged at its turn.
    }
    stopAndJoin();
    keepSafeVerdicts();
}

void tLibraryPrecheck::abandon() {
    abandoned.store(true);
    stopAndJoin();
}

void tLibraryPrecheck::stopAndJoin() {
    if (!thread.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ending = true;
    }
    handedOver.notify_one();
    thread.join();
}

void tLibraryPrecheck::keepSafeVerdicts() {
    try {
        safe.reserve(paths.size());
        for (size_t index = 0; index < paths.size(); ++index) {
            if (verdicts[index].known) {
                safe.emplace(paths[index], verdicts[index]);
            }
        }
    } catch (...) {
        // No memory: the verdicts not kept are judged at their turn.
    }
}

size_t tLibraryPrecheck::waitForMore() {
    std::unique_lock<std::mutex> lock(mutex);
    handedOver.wait(lock, [&] { return ending || published > nextUnclaimed.load(); });
    if (abandoned.load() || (ending && nextUnclaimed.load() >= published)) {
        return 0;
    }
    return published;
}

// Never claims at or beyond `limit`, so that a library handed over later is
// claimed by the one that sees it published.
bool tLibraryPrecheck::claim(size_t limit, size_t& index) {
    index = nextUnclaimed.load();
    while (index < limit && !nextUnclaimed.compare_exchange_weak(index, index + 1)) {
    }
    return index < limit;
}

void tLibraryPrecheck::judgeClaimed(tPathSafety& pathSafety, size_t limit) {
    for (size_t index; !abandoned.load(std::memory_order_relaxed) && claim(limit, index);) {
        tFileIdentity identity;
        if (pathSafety.checkLibrary(paths[index], identity).safe() && identity.known) {
            verdicts[index] = identity;
        }
        judgedSoFar.fetch_add(1);
    }
}

void tLibraryPrecheck::judgeAll(int readingProcessor) {
    // Woken by the reading thread, this thread is often placed on the
    // reading thread's own processor, where the two then take turns while
    // the other processor idles: it judges elsewhere whenever it can.
    keepOffProcessor(readingProcessor);
    // A table of descriptors of its own: the descriptors this thread opens
    // and closes for every library then take no lock that the run-cycle
    // thread's own opens and closes contend for. Nothing needs the table
    // shared: this thread opens what it judges by, and no plugin code runs
    // while it lives. ThreadSanitizer takes a descriptor number for one
    // object in the whole process, so under it the table stays shared.
#if !ZO_UNDER_THREAD_SANITIZER
    const bool ownTable = unshare(CLONE_FILES) == 0;
#else
    const bool ownTable = false;
#endif
    try {
        tPathSafety pathSafety;
        if (ownTable) {
            pathSafety.ownDescriptorTable();
        }
        for (size_t limit; (limit = waitForMore()) != 0;) {
            judgeClaimed(pathSafety, limit);
        }
    } catch (...) {
        // No memory: what is left is judged by finish() or at its turn.
    }
}

void tLibraryPrecheck::arrangeFor(const std::vector<const tPluginDescription*>& pass) {
    arranged.clear();
    nextArranged = 0;
    arranged.reserve(pass.size());
    for (const tPluginDescription* description : pass) {
        const auto verdict = safe.find(description->path);
        arranged.push_back(
            {&description->path, verdict != safe.end() ? verdict->second : tFileIdentity()});
    }
}

// The pass asks in its own order and skips only the plugins it refuses, so
// its next string is found a step or two on; a string that is not the
// pass's own is looked up among all.
const tFileIdentity* tLibraryPrecheck::verdictOf(const std::string& path) const {
    for (size_t at = nextArranged; at < arranged.size(); ++at) {
        if (arranged[at].path == &path) {
            nextArranged = at + 1;
            return arranged[at].identity.known ? &arranged[at].identity : nullptr;
        }
    }
    const auto verdict = safe.find(path);
    return verdict != safe.end() ? &verdict->second : nullptr;
}

bool tLibraryPrecheck::take(const std::string& path, tPathSafety& pathSafety,
                            tFileIdentity& identity) const {
    const tFileIdentity* const judged = verdictOf(path);
    if (judged == nullptr) {
        return false;
    }
    struct stat now;
    if (!pathSafety.statInJudgedDirectory(path, now) ||
        !sameFileAndKeeping(identityOf(now), *judged)) {
        return false;
    }
    identity = *judged;
    return true;
}
