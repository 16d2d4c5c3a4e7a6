/*
 * standin.h: the inner pieces of the stand-in system configuration library,
 * shared by its translation units and hidden from its users.
 *
 * The stand-in answers the calls of the service the way the real library is
 * relied upon to, checks every value it is given, and takes its behaviour
 * from environment variables read at each call:
 *   ZOSYSAPI_DEPLOYMENT     int32 value of the deployment setting (default 1)
 *   ZOSYSAPI_FAIL_ATTEMPTS  failing calls of the entry point before one succeeds
 *                           (default 0; 7 or more: every call fails)
 *   ZOSYSAPI_SETTING_ERROR  "1": reading the setting fails
 *   ZOSYSAPI_TRACE          file to which one line per call is appended
 * Threads: reference counts and the live count are atomic; the failure counter
 * of the entry point assumes calls from one thread at a time.
 */
#ifndef ZOSYSAPI_STANDIN_H
#define ZOSYSAPI_STANDIN_H

#include <stdint.h>
#include <wchar.h>

#include "zosysapi.h"

/* Results of the stand-in's failing calls: all negative, one per cause. */
enum {
    kStandinInjectedFailure = -1,
    kStandinWrongArgument = -2,
    kStandinNoSuchInterface = -3,
    kStandinUnusedOperation = -4,
    kStandinOutOfMemory = -5,
    kStandinSettingUnreadable = -6
};

/* The number of calls of the entry point that ZOSYSAPI_FAIL_ATTEMPTS makes fail
 * and from which on every call fails. */
#define STANDIN_NEVER_REACHED_ATTEMPTS 7u

/* ZOSYSAPI_FAIL_ATTEMPTS; 0 when unset or not a non-negative number. */
uint32_t standinFailAttempts(void);
/* ZOSYSAPI_SETTING_ERROR is "1". */
int standinSettingErrorRequested(void);
/* ZOSYSAPI_DEPLOYMENT into *value (1 when unset); non-zero when it is set but
 * not an int32 number, which makes the setting unreadable. */
int standinDeploymentValue(int32_t* value);

/* References held on all objects of the stand-in. */
uint32_t standinLiveReferences(void);
void standinAddLiveReferences(int32_t change);

/* Appends one line, the formatted text and " live=N", to the ZOSYSAPI_TRACE
 * file when it is set. Written with one write(2) so that it survives the
 * process ending by a signal; errno is left as it was. */
void standinTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

/* The narrow form of a wide string for the trace: ASCII kept, the rest '?',
 * cut to fit size bytes; "(null)" for a null pointer. */
void standinNarrowForTrace(const wchar_t* text, char* out, size_t size);

#endif /* ZOSYSAPI_STANDIN_H */
