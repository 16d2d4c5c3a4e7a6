// tLoaderJudge is the program's side of the loader's judge (LoaderJudge.cpp,
// LoaderJudgeChannel.h): it finds the judge in the loader's namespace of its
// own, and watches one load at a time, to learn which file was refused and
// why. Found once, at the first use, before any plugin's code has run: a
// library loaded later cannot stand in for it, since its functions are
// looked up in the judge's own namespace and nowhere else.
//
// When the judge is not running (the loader could not load it, or its file
// is one another user could change), active() is false and every load must
// be refused: nothing would stop the loader from mapping an unjudged file.
// Not thread-safe: the thread that loads plugins is its only user.
#ifndef ZOKORVO_SAFETY_LOADERJUDGELINK_H
#define ZOKORVO_SAFETY_LOADERJUDGELINK_H

#include <string>

#include "safety/LoaderJudgeChannel.h"

struct tLoaderRefusal {
    enum class tKind { none, unsafe, notRegular };
    tKind kind = tKind::none;
    // "/opt/x/libext.so is owned by uid 1000 (named by /opt/p.so as
    // \"$ORIGIN/libext.so\")"; empty when nothing was refused.
    std::string reason;
};

class tLoaderJudge {
  public:
    // The one judge of this process.
    static tLoaderJudge& get();

    bool active() const { return beginLoadEntry != nullptr; }
    // Why it is not active: "the loader's judge ... is not running".
    const std::string& inactiveReason() const { return whyInactive; }

    // From now on trusts root alone, not also this process's effective user
    // (the checker, whoever runs it, judges as the service running as root).
    void trustRootAlone() { rootAlone = true; }
    // A new pass judges every directory anew.
    void beginPass();
    // Watches the load the calling thread is about to ask for ...
    void beginLoad();
    // ... and says what, if anything, was refused in it.
    tLoaderRefusal endLoad();

  private:
    tLoaderJudge();

    tZoLoaderJudgeBeginPass beginPassEntry = nullptr;
    tZoLoaderJudgeBeginLoad beginLoadEntry = nullptr;
    tZoLoaderJudgeEndLoad endLoadEntry = nullptr;
    std::string whyInactive;
    bool rootAlone = false;
};

#endif  // ZOKORVO_SAFETY_LOADERJUDGELINK_H
