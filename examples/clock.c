/*
 * The Clock example plugin, in C: a plugin that does its work on a thread of
 * its own. Initialize starts a thread that counts ticks of 100 ms and returns
 * at once, so the service's main thread is never held up; Stop ends and
 * joins the thread; Cleanup releases what Initialize set up.
 *
 * It also exports zoExampleClockTicks for the plugins that depend on it: the
 * service opens plugin libraries with RTLD_GLOBAL, so a plugin started after
 * the Clock finds that function with dlsym(RTLD_DEFAULT, ...).
 *
 * Description file: clock.ini (Name=Clock, no dependencies, Requires=1).
 */
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <zoKorvoRemoteService/zoKorvoPlugin.h>

#include "exampleJournal.h"

#define CLOCK_TICK_NS 100000000L

static pthread_mutex_t clockMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t clockWake;
static int clockStopRequested;
static uint64_t clockTicks;
static pthread_t clockThread;
static int clockThreadRunning;

static void advanceByOneTick(struct timespec* when) {
    when->tv_nsec += CLOCK_TICK_NS;
    if (when->tv_nsec >= 1000000000L) {
        when->tv_nsec -= 1000000000L;
        when->tv_sec += 1;
    }
}

static void* countTicks(void* unused) {
    (void)unused;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    pthread_mutex_lock(&clockMutex);
    while (!clockStopRequested) {
        advanceByOneTick(&next);
        /* A deadline instead of a sleep, so that Stop wakes the thread at once. */
        while (!clockStopRequested &&
               pthread_cond_timedwait(&clockWake, &clockMutex, &next) != ETIMEDOUT) {
        }
        if (!clockStopRequested) {
            ++clockTicks;
        }
    }
    pthread_mutex_unlock(&clockMutex);
    return NULL;
}

static int initializeWakeCondition(void) {
    pthread_condattr_t attributes;
    int result = pthread_condattr_init(&attributes);
    if (result != 0) {
        return result;
    }
    result = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (result == 0) {
        result = pthread_cond_init(&clockWake, &attributes);
    }
    pthread_condattr_destroy(&attributes);
    return result;
}

/* Ticks counted since Initialize; for the plugins that depend on the Clock. */
ZO_KORVO_PLUGIN_EXPORT uint64_t zoExampleClockTicks(void) {
    pthread_mutex_lock(&clockMutex);
    uint64_t ticks = clockTicks;
    pthread_mutex_unlock(&clockMutex);
    return ticks;
}

ZO_KORVO_PLUGIN_INITIALIZE(zoExampleClockInitialize) {
    clockStopRequested = 0;
    clockTicks = 0;
    int result = initializeWakeCondition();
    if (result == 0) {
        result = pthread_create(&clockThread, NULL, countTicks, NULL);
        if (result != 0) {
            pthread_cond_destroy(&clockWake);
        }
    }
    if (result != 0) {
        /* A negative result: the service closes the library at once and
         * never calls Stop or Cleanup, so nothing may be left running. */
        zoExampleJournal("Clock: cannot start its thread");
        return -result;
    }
    clockThreadRunning = 1;
    zoExampleJournal("Clock: ticking every 100 ms");
    return ZO_KORVO_PLUGIN_SUCCESS;
}

ZO_KORVO_PLUGIN_STOP(zoExampleClockStop) {
    pthread_mutex_lock(&clockMutex);
    clockStopRequested = 1;
    pthread_cond_broadcast(&clockWake);
    pthread_mutex_unlock(&clockMutex);
    if (clockThreadRunning) {
        pthread_join(clockThread, NULL);
        clockThreadRunning = 0;
    }
    zoExampleJournal("Clock: stopped");
}

ZO_KORVO_PLUGIN_CLEANUP(zoExampleClockCleanup) {
    pthread_cond_destroy(&clockWake);
    zoExampleJournal("Clock: cleaned up");
}
