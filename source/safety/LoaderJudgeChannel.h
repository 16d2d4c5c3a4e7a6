// What the loader's judge (LoaderJudge.cpp, an audit library the dynamic
// loader runs beside the program) and the program say to each other: the
// names of the functions the judge exports, looked up in the judge's own
// namespace so that no library loaded later can stand in for them, and the
// kinds of refusal it reports. Plain C, so that both sides agree without
// sharing anything else.
//
// The judge's functions are called from the program's thread that loads;
// each returns at once and allocates nothing but the copy of a reason.
#ifndef ZOKORVO_SAFETY_LOADERJUDGECHANNEL_H
#define ZOKORVO_SAFETY_LOADERJUDGECHANNEL_H

#include <stddef.h>

// The judge's file name, whatever directory it is installed in.
#define ZO_LOADER_JUDGE_FILE "libzoKorvoLoaderJudge.so"

// void zoLoaderJudgeBeginPass(int rootAlone): forgets the directories judged
// so far (a new pass judges anew); rootAlone non-zero trusts root alone,
// otherwise root and the program's effective user.
#define ZO_LOADER_JUDGE_BEGIN_PASS "zoLoaderJudgeBeginPass"
typedef void (*tZoLoaderJudgeBeginPass)(int rootAlone);

// void zoLoaderJudgeBeginLoad(void): the calling thread is about to ask the
// loader for one library. From now on the first file refused on that
// thread's behalf is kept, and once a file was refused as unsafe, every
// further file is refused too, so that the load fails before any of its
// code runs (an optional filter's files excepted: they are left out).
#define ZO_LOADER_JUDGE_BEGIN_LOAD "zoLoaderJudgeBeginLoad"
typedef void (*tZoLoaderJudgeBeginLoad)(void);

// int zoLoaderJudgeEndLoad(char* reason, size_t size): ends the watch of
// BeginLoad and returns the kind of the first refusal, with its reason
// copied into `reason` (cut to `size`, always terminated).
#define ZO_LOADER_JUDGE_END_LOAD "zoLoaderJudgeEndLoad"
typedef int (*tZoLoaderJudgeEndLoad)(char* reason, size_t size);

enum {
    kZoLoaderRefusedNothing = 0,
    // Another user could have changed the file, a directory or link on its way.
    kZoLoaderRefusedUnsafe = 1,
    // A safe name that is no regular file (a directory, FIFO, device).
    kZoLoaderRefusedNotRegular = 2,
};

#endif  // ZOKORVO_SAFETY_LOADERJUDGECHANNEL_H
