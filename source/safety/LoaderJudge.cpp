// The loader's judge: an audit library (rtld-audit(7)) that the service, its
// test variant and the checker name in their own executable (DT_AUDIT), so
// that the dynamic loader runs it from the program's first library on. The
// loader hands la_objsearch every name it is about to open, each candidate
// of its own search with run-path tokens and hardware subdirectories already
// expanded, filters included; the judge hands back the name to open, or
// NULL, which makes the loader skip it as if nothing were there. So the
// loader opens nothing that tPathSafety has not judged at that moment, and
// no file another user could change is ever mapped, whatever the loader's
// search looks like in this or a later glibc.
//
// A name holding a '/' reaches the judge with its tokens unexpanded: the
// judge expands them itself (LoaderTokens.h) and hands the loader the
// expanded name, so what is opened is what was judged. Only regular files
// are handed on: a directory, FIFO or device is refused without being
// opened, so that no open can block.
//
// The judge runs in a namespace of the loader's own, with its own copy of
// the C library and its C++ runtime linked in; it uses nothing of the
// program's. The program talks to it through the functions of
// LoaderJudgeChannel.h, looked up in that namespace. All state is guarded by
// one mutex: la_objsearch runs under the loader's lock, the channel's
// functions on the program's thread outside it.
#include <link.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>

#include "safety/PathSafety.h"
#include "system/Mutex.h"
#include "safety/LoaderJudgeChannel.h"
#include "safety/LoaderTokens.h"

#define ZO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct tJudge {
    tMutex mutex;
    // made when first needed, anew at each pass
    std::unique_ptr<tPathSafety> paths ZO_GUARDED_BY(mutex);
    tPathSafety::tTrust trust ZO_GUARDED_BY(mutex) = tPathSafety::tTrust::rootAndServiceUser;
    bool watching ZO_GUARDED_BY(mutex) = false;  // between BeginLoad and EndLoad
    pthread_t watched ZO_GUARDED_BY(mutex){};    // the thread that asked for the load watched
    // a file of the watched load was refused as unsafe
    bool poisoned ZO_GUARDED_BY(mutex) = false;
    int firstKind ZO_GUARDED_BY(mutex) = kZoLoaderRefusedNothing;
    std::string firstReason ZO_GUARDED_BY(mutex);
    // the expanded name the loader is to open
    std::string handedBack ZO_GUARDED_BY(mutex);
};

// Never destroyed: the loader may ask the judge until the very end of the
// process (a dlopen in an exit handler, a library's destructor), after the
// judge's own static objects would have gone.
tJudge& judge() {
    static tJudge* const instance = new tJudge;
    return *instance;
}

tPathSafety& pathSafety(tJudge& state) ZO_REQUIRES(state.mutex) {
    if (!state.paths) {
        state.paths = std::make_unique<tPathSafety>(state.trust);
        state.paths->keepNoDescriptors();
    }
    return *state.paths;
}

std::string objectName(const link_map* object) {
    return object != nullptr && object->l_name != nullptr && object->l_name[0] != '\0'
               ? object->l_name
               : "";
}

// How `object` came to ask for a name: the program's own dlopen (its needs
// are loaded before any load is watched), or an object's needs.
std::string askerText(const link_map* object) {
    const std::string name = objectName(object);
    return name.empty() ? "opened by the program" : "needed by " + name;
}

const char* searchText(unsigned int flag) {
    switch (flag) {
        case LA_SER_RUNPATH:
            return "a run path";
        case LA_SER_LIBPATH:
            return "LD_LIBRARY_PATH";
        case LA_SER_CONFIG:
            return "the loader's cache";
        case LA_SER_DEFAULT:
            return "the loader's default directories";
        case LA_SER_SECURE:
            return "the loader's trusted directories";
        default:
            return "the loader's search";
    }
}

const char* typeText(mode_t type) {
    switch (type) {
        case S_IFDIR:
            return "a directory";
        case S_IFIFO:
            return "a FIFO";
        case S_IFCHR:
        case S_IFBLK:
            return "a device";
        case S_IFSOCK:
            return "a socket";
        default:
            return "no regular file";
    }
}

// Whether `object` names `name` as an optional filter (DT_AUXILIARY) and not
// as something it cannot do without: a refused one is left out, as the
// loader leaves out one it cannot find.
bool isOptionalFilter(const link_map* object, const char* name) {
    if (object == nullptr || object->l_ld == nullptr) {
        return false;
    }
    ElfW(Addr) strings = 0;
    for (const ElfW(Dyn)* entry = object->l_ld; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag == DT_STRTAB) {
            strings = entry->d_un.d_ptr;
        }
    }
    if (strings == 0) {
        return false;
    }
    // The loader relocates the entries of a writable dynamic section in
    // place; a read-only one still holds the object's own addresses.
    if (strings < object->l_addr) {
        strings += object->l_addr;
    }
    bool optional = false;
    bool required = false;
    for (const ElfW(Dyn)* entry = object->l_ld; entry->d_tag != DT_NULL; ++entry) {
        const bool auxiliary = entry->d_tag == DT_AUXILIARY;
        if (!auxiliary && entry->d_tag != DT_NEEDED && entry->d_tag != DT_FILTER) {
            continue;
        }
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the dynamic section holds addresses
        const char* const entryName = reinterpret_cast<const char*>(strings + entry->d_un.d_val);
        if (strcmp(entryName, name) == 0) {
            (auxiliary ? optional : required) = true;
        }
    }
    return optional && !required;
}

void keepFirst(tJudge& state, int kind, const std::string& reason) ZO_REQUIRES(state.mutex) {
    if (state.firstKind == kZoLoaderRefusedNothing) {
        state.firstKind = kind;
        state.firstReason = reason;
    }
}

// The name to open for `path`, or null. `filterName` is what `asker` names
// when it is an optional filter; `via` says how the loader came to `path`.
const char* judgePath(tJudge& state, const char* path, const link_map* asker,
                      const char* filterName, const std::string& via) ZO_REQUIRES(state.mutex) {
    const bool mine = state.watching && pthread_equal(state.watched, pthread_self()) != 0;
    if (mine && state.poisoned) {
        return nullptr;
    }
    bool exists = true;
    mode_t type = 0;
    tPathVerdict verdict = pathSafety(state).check(path, exists, type);
    if (!verdict.safe()) {
        if (mine && !isOptionalFilter(asker, filterName)) {
            verdict.via = via;
            keepFirst(state, kZoLoaderRefusedUnsafe, verdict.reason());
            state.poisoned = true;
        }
        return nullptr;
    }
    if (exists && type != S_IFREG) {
        if (mine) {
            keepFirst(
                state, kZoLoaderRefusedNotRegular,
                std::string(path) + " is " + typeText(type) + ", not a library (" + via + ")");
        }
        return nullptr;
    }
    return path;
}

// A name holding a '/', as an object or the program's dlopen gave it.
const char* judgeNamed(tJudge& state, const char* name, const link_map* asker) ZO_REQUIRES(state.mutex) {
    std::string via = askerText(asker);
    if (hasLoaderToken(name)) {
        if (!expandLoaderTokens(name, loaderTokensFor(objectName(asker)), state.handedBack)) {
            return nullptr;  // the loader would open nothing either
        }
        via += " as \"" + std::string(name) + "\"";
    } else {
        state.handedBack = name;
    }
    return judgePath(state, state.handedBack.c_str(), asker, name, via);
}

// One candidate of the loader's search for a bare name.
const char* judgeCandidate(tJudge& state, const char* candidate, const link_map* asker,
                           unsigned int flag) ZO_REQUIRES(state.mutex) {
    const char* const slash = strrchr(candidate, '/');
    const char* const searched = slash != nullptr ? slash + 1 : candidate;
    return judgePath(state, candidate, asker, searched,
                     "\"" + std::string(searched) + "\" " + askerText(asker) + ", found through " +
                         searchText(flag));
}

// The cookie la_objopen set: the asking object's link map.
const link_map* askerOf(uintptr_t cookie) {
    return reinterpret_cast<const link_map*>(cookie);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

ZO_EXPORT unsigned int la_version(unsigned int) {
    return LAV_CURRENT;
}

// The cookie of every object is its link map, so that a search knows who asked.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): <link.h> names them __map...
ZO_EXPORT unsigned int la_objopen(struct link_map* object, Lmid_t, uintptr_t* cookie) {
    *cookie = reinterpret_cast<uintptr_t>(object);
    return 0;
}

ZO_EXPORT char* la_objsearch(const char* name, uintptr_t* cookie, unsigned int flag) {
    try {
        tJudge& state = judge();
        const tMutexLock lock(state.mutex);
        const link_map* const asker = cookie != nullptr ? askerOf(*cookie) : nullptr;
        const char* handed;
        if (flag == LA_SER_ORIG) {
            // A bare name: each candidate of the search comes here on its own.
            handed = strchr(name, '/') == nullptr ? name : judgeNamed(state, name, asker);
        } else {
            handed = judgeCandidate(state, name, asker, flag);
        }
        return const_cast<char*>(handed);
    } catch (...) {
        return nullptr;  // out of memory: nothing unjudged is opened
    }
}

ZO_EXPORT void zoLoaderJudgeBeginPass(int rootAlone) {
    tJudge& state = judge();
    const tMutexLock lock(state.mutex);
    state.trust =
        rootAlone != 0 ? tPathSafety::tTrust::rootAlone : tPathSafety::tTrust::rootAndServiceUser;
    state.paths.reset();
}

ZO_EXPORT void zoLoaderJudgeBeginLoad(void) {
    tJudge& state = judge();
    const tMutexLock lock(state.mutex);
    state.watching = true;
    state.watched = pthread_self();
    state.poisoned = false;
    state.firstKind = kZoLoaderRefusedNothing;
    state.firstReason.clear();
}

ZO_EXPORT int zoLoaderJudgeEndLoad(char* reason, size_t size) {
    tJudge& state = judge();
    const tMutexLock lock(state.mutex);
    state.watching = false;
    if (reason != nullptr && size > 0) {
        const size_t length = std::min(size - 1, state.firstReason.size());
        memcpy(reason, state.firstReason.data(), length);
        reason[length] = '\0';
    }
    return state.firstKind;
}
