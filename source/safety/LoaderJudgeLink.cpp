#include "safety/LoaderJudgeLink.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>

#include "safety/PathSafety.h"

namespace {

bool endsWith(const char* text, const char* end) {
    const size_t textLength = strlen(text);
    const size_t endLength = strlen(end);
    return textLength >= endLength && strcmp(text + textLength - endLength, end) == 0;
}

// The loader's list of namespaces, which it hands the program through the
// DT_DEBUG entry of the program's own dynamic section.
const r_debug_extended* namespaces() {
    for (const ElfW(Dyn)* entry = _DYNAMIC; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag == DT_DEBUG) {
            // NOLINTNEXTLINE(performance-no-int-to-ptr): the loader hands an address as an integer
            return reinterpret_cast<const r_debug_extended*>(entry->d_un.d_ptr);
        }
    }
    return nullptr;
}

// The judge's link map, in a namespace other than the program's: the loader
// lists every namespace since glibc 2.35 (r_version 2).
link_map* findJudge() {
    const r_debug_extended* const first = namespaces();
    if (first == nullptr || first->base.r_version < 2) {
        return nullptr;
    }
    for (const r_debug_extended* space = first->r_next; space != nullptr; space = space->r_next) {
        for (link_map* object = space->base.r_map; object != nullptr; object = object->l_next) {
            if (object->l_name != nullptr && object->l_name[0] == '/' &&
                endsWith(object->l_name, "/" ZO_LOADER_JUDGE_FILE)) {
                return object;
            }
        }
    }
    return nullptr;
}

}  // namespace

tLoaderJudge& tLoaderJudge::get() {
    static tLoaderJudge judge;
    return judge;
}

tLoaderJudge::tLoaderJudge() {
    link_map* const judge = findJudge();
    if (judge == nullptr) {
        whyInactive = "the loader's judge (" ZO_LOADER_JUDGE_FILE ") is not running";
        return;
    }
    const tPathVerdict verdict = tPathSafety().check(judge->l_name);
    if (!verdict.safe()) {
        whyInactive = "the loader's judge is not safe: " + verdict.reason();
        return;
    }
    // A link map is the loader's handle of its object: the names are looked
    // up in the judge's namespace alone.
    beginPassEntry =
        reinterpret_cast<tZoLoaderJudgeBeginPass>(dlsym(judge, ZO_LOADER_JUDGE_BEGIN_PASS));
    endLoadEntry = reinterpret_cast<tZoLoaderJudgeEndLoad>(dlsym(judge, ZO_LOADER_JUDGE_END_LOAD));
    beginLoadEntry =
        reinterpret_cast<tZoLoaderJudgeBeginLoad>(dlsym(judge, ZO_LOADER_JUDGE_BEGIN_LOAD));
    if (beginPassEntry == nullptr || endLoadEntry == nullptr || beginLoadEntry == nullptr) {
        beginLoadEntry = nullptr;
        whyInactive = "the loader's judge " + std::string(judge->l_name) + " is incomplete";
    }
}

void tLoaderJudge::beginPass() {
    if (active()) {
        beginPassEntry(rootAlone ? 1 : 0);
    }
}

void tLoaderJudge::beginLoad() {
    if (active()) {
        beginLoadEntry();
    }
}

tLoaderRefusal tLoaderJudge::endLoad() {
    tLoaderRefusal refusal;
    if (!active()) {
        return refusal;
    }
    char reason[1024];
    switch (endLoadEntry(reason, sizeof reason)) {
        case kZoLoaderRefusedUnsafe:
            refusal.kind = tLoaderRefusal::tKind::unsafe;
            break;
        case kZoLoaderRefusedNotRegular:
            refusal.kind = tLoaderRefusal::tKind::notRegular;
            break;
        default:
            return refusal;
    }
    refusal.reason = reason;
    return refusal;
}
