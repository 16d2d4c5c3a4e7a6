// tLibraryPrecheck judges the plugin libraries named by the descriptions
// while the run-cycle thread is still reading the descriptions, on a thread
// of its own: the reading and judging of the libraries (PathSafety.h,
// LibrarySearch.h) then run beside that reading, on the other processor.
// The thread is started before the plugins directory is listed, so that it
// is running by the time the first libraries are handed over, and runs on
// any allowed processor but the one its maker ran on when it was made, so
// that the two do not take turns on one processor while another idles. Before the
// start pass opens the first library, finish() judges what the thread has
// not reached yet, beside it on the calling thread, and joins: nothing runs
// beside the start pass itself, since another thread running while the
// loader maps and unmaps would make every change of the process's mappings
// interrupt it.
//
// The start pass still decides at each library's turn: a verdict judged
// ahead is taken only when it was safe and the file at the path is still the
// very file judged, in the same state and with the same owner and mode
// (device, inode, size, modification and status-change times), looked up by
// its name in its directory as the pass's own path safety judges that
// directory at the pass (so a directory loosened since, or a name made a
// link, is judged again at its turn); anything else,
// and every library whose verdict depends on the moment (a relative path, a
// bare name, a kernel link), is judged again at its turn. A safe verdict
// means that nobody but a trusted owner could change any name on the way,
// the file or what it needs, so it still holds then; an unsafe one is never
// taken ahead.
//
// Threads: expect(), judge(), allHandedOver(), finish(), abandon() and
// arrangeFor() belong to the thread that made the object; take() may be
// called from it once finish() has returned. The object owns its thread, which has a table of
// descriptors of its own; abandon() (or the destructor) stops the judging between two libraries and
// joins. Nothing throws but std::bad_alloc and std::system_error from the constructor and expect();
// a failure while judging only leaves verdicts untaken.
#ifndef ZOKORVO_LIBRARYPRECHECK_H
#define ZOKORVO_LIBRARYPRECHECK_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "safety/FileIdentity.h"
#include "plugins/tPluginDescription.h"

class tPathSafety;

class tLibraryPrecheck {
  public:
    // Starts the judging thread, which waits for libraries.
    tLibraryPrecheck();
    ~tLibraryPrecheck();
    tLibraryPrecheck(const tLibraryPrecheck&) = delete;
    tLibraryPrecheck& operator=(const tLibraryPrecheck&) = delete;

    // Makes room for `capacity` libraries; called once, before judge().
    void expect(size_t capacity);
    // Hands the library `path` to the judging thread; one beyond the
    // capacity, or one that cannot be judged ahead, is left to its turn.
    void judge(const std::string& path);
    // Says that no more libraries follow, so that the last are judged too.
    void allHandedOver();
    // Whether every library handed over has been judged.
    bool allJudged() const { return judgedSoFar.load() == paths.size(); }
    // Judges what is left beside the thread and joins: every library handed
    // over has been judged when it returns. May be repeated.
    void finish();
    // Stops the judging between two libraries and joins; what is left is
    // judged at its turn.
    void abandon();

    // Lines the verdicts up in the order of `pass`, whose libraries the start
    // pass hands to take() in that order: each is then found by the very
    // string the pass holds, without a look-up among all, which after each
    // load of the loader would miss the processor's caches. After finish().
    void arrangeFor(const std::vector<const tPluginDescription*>& pass);

    // True, with the identity of the file judged, when `path` was judged
    // safe ahead and the file at it is still that file, as `pathSafety`
    // finds it now in its directory judged by that object (no link
    // followed). Allocates nothing for a directory `pathSafety` has seen.
    bool take(const std::string& path, tPathSafety& pathSafety, tFileIdentity& identity) const;

    // Whether `path` may be judged ahead of its turn at all.
    static bool judgeableAhead(const std::string& path);

  private:
    // The thread's body; `readingProcessor` is where the thread that made
    // the object ran then, which the judging keeps off when it can.
    void judgeAll(int readingProcessor);
    // The number of libraries handed over while one of them is unclaimed;
    // 0 when the judging is to end.
    size_t waitForMore();
    // Judges unclaimed libraries below `limit` until none is left.
    void judgeClaimed(tPathSafety& pathSafety, size_t limit);
    bool claim(size_t limit, size_t& index);
    void stopAndJoin();
    void keepSafeVerdicts();
    const tFileIdentity* verdictOf(const std::string& path) const;

    std::vector<std::string> paths;  // never reallocated: the thread reads what was published
    // One slot per library, written by whichever thread claimed it; known
    // when it was judged safe.
    std::vector<tFileIdentity> verdicts;
    std::unordered_map<std::string, tFileIdentity> safe;  // filled by finish()
    // The pass's own library strings and their verdicts (unknown: none to
    // take), in its order; take() looks on from the last one found.
    struct tArranged {
        const std::string* path;
        tFileIdentity identity;
    };
    std::vector<tArranged> arranged;
    mutable size_t nextArranged = 0;
    std::mutex mutex;
    std::condition_variable handedOver;
    size_t published = 0;  // guarded by `mutex`
    bool ending = false;   // guarded by `mutex`
    std::atomic<bool> abandoned{false};
    std::atomic<size_t> nextUnclaimed{0};
    std::atomic<size_t> judgedSoFar{0};
    std::thread thread;
};

#endif  // ZOKORVO_LIBRARYPRECHECK_H
