/*
 * A plugin library for the tests, built many times with different compile
 * definitions (see zo_add_test_plugin in CMakeLists.txt):
 *   PLUGIN_NAME        the name written into the call log (a string)
 *   INIT_SYMBOL        exported name of the Initialize entry point (none when unset)
 *   STOP_SYMBOL        exported name of the Stop entry point (none when unset)
 *   CLEANUP_SYMBOL     exported name of the Cleanup entry point (none when unset)
 *   INIT_RESULT        what Initialize returns (default 0)
 *   INIT_SLEEP_MS, STOP_SLEEP_MS, CLEANUP_SLEEP_MS   pauses in the entry points
 *   LOG_CONSTRUCTOR    when defined, a constructor logs "<PLUGIN_NAME> Constructor"
 *                      as the loader maps the library, before any entry point
 *   CALL_NEEDED        Initialize first calls this function of a library it needs
 *   CHANGE_DIRECTORY   Initialize changes the working directory to the one the
 *                      environment variable ZO_TEST_PLUGIN_DIRECTORY names
 * and, for the checker's trial, faults a plugin may have (each set to 1):
 *   CRASH_IN_INIT      Initialize dies of SIGSEGV
 *   LEAVE_THREAD       Initialize starts a thread that nothing ever ends
 *   THREAD_NAP_MS      that thread wakes this often (default: only on a signal)
 *   LEAVE_DESCRIPTOR   Initialize opens /dev/null and never closes it
 *   LEAVE_PROCESS      Initialize starts a child process that nothing waits
 *                      for; it ends itself after a minute at the latest
 *
 * Every entry point appends the line "<PLUGIN_NAME> <Initialize|Stop|Cleanup>"
 * to the file named by the environment variable ZO_TEST_PLUGIN_LOG, opening it
 * with O_APPEND for each call, so that calls of several plugins, and of
 * several processes, keep their order in one log. Without the variable
 * nothing is written. Everything but the entry points is static, so that
 * libraries loaded with global symbols never bind to each other's helpers.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#ifndef PLUGIN_NAME
#error "PLUGIN_NAME must name the plugin"
#endif
#ifndef INIT_RESULT
#define INIT_RESULT 0
#endif
#ifndef INIT_SLEEP_MS
#define INIT_SLEEP_MS 0
#endif
#ifndef STOP_SLEEP_MS
#define STOP_SLEEP_MS 0
#endif
#ifndef CLEANUP_SLEEP_MS
#define CLEANUP_SLEEP_MS 0
#endif
#ifndef CRASH_IN_INIT
#define CRASH_IN_INIT 0
#endif
#ifndef LEAVE_THREAD
#define LEAVE_THREAD 0
#endif
#ifndef THREAD_NAP_MS
#define THREAD_NAP_MS 0
#endif
#ifndef LEAVE_DESCRIPTOR
#define LEAVE_DESCRIPTOR 0
#endif
#ifndef LEAVE_PROCESS
#define LEAVE_PROCESS 0
#endif

/* Unused in a plugin that exports no entry point. */
__attribute__((unused)) static void appendToLog(const char* entry) {
    const char* logPath = getenv("ZO_TEST_PLUGIN_LOG");
    if (logPath == NULL || logPath[0] == '\0') {
        return;
    }
    char line[256];
    size_t length = 0;
    const char* parts[] = {PLUGIN_NAME, " ", entry, "\n"};
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
        const size_t partLength = strlen(parts[i]);
        if (length + partLength >= sizeof line) {
            return;
        }
        memcpy(line + length, parts[i], partLength);
        length += partLength;
    }
    const int log = open(logPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log < 0) {
        return;
    }
    /* One write(2) per line keeps lines whole across plugins and processes. */
    (void)write(log, line, length);
    close(log);
}

__attribute__((unused)) static void sleepMilliseconds(long milliseconds) {
    struct timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

#ifdef LOG_CONSTRUCTOR
__attribute__((constructor)) static void logConstructor(void) {
    appendToLog("Constructor");
}
#endif

static int threadRunning;

/* Sleeps until the process ends: its code lies in this library. With
   THREAD_NAP_MS it wakes that often, and so runs into the library soon
   after the library is closed. */
__attribute__((unused)) static void* sleepForever(void* unused) {
    (void)unused;
    __atomic_store_n(&threadRunning, 1, __ATOMIC_RELEASE);
    for (;;) {
        if (THREAD_NAP_MS > 0) {
            sleepMilliseconds(THREAD_NAP_MS);
        } else {
            pause();
        }
    }
    return NULL;
}

__attribute__((unused)) static void crash(void) {
    /* The default action, whatever handler a sanitizer runtime installed. */
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &action, NULL);
    raise(SIGSEGV);
}

__attribute__((unused)) static void leaveThread(void) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, sleepForever, NULL) == 0) {
        pthread_detach(thread);
        /* Into pause() before the library can be closed: a thread still on
           its way there would run into the closed library and crash. */
        while (!__atomic_load_n(&threadRunning, __ATOMIC_ACQUIRE)) {
            sleepMilliseconds(1);
        }
        sleepMilliseconds(20);
    }
}

__attribute__((unused)) static void leaveProcess(void) {
    if (fork() == 0) {
        /* A minute at the latest, should nobody end it. */
        alarm(60);
        for (;;) {
            pause();
        }
    }
}

__attribute__((unused)) static void haveFaults(void) {
    if (CRASH_IN_INIT) {
        crash();
    }
    if (LEAVE_THREAD) {
        leaveThread();
    }
    if (LEAVE_DESCRIPTOR) {
        (void)open("/dev/null", O_RDONLY);
    }
    if (LEAVE_PROCESS) {
        leaveProcess();
    }
}

#ifdef CALL_NEEDED
int32_t CALL_NEEDED(void);
#endif

#ifdef INIT_SYMBOL
int32_t INIT_SYMBOL(void);
int32_t INIT_SYMBOL(void) {
    appendToLog("Initialize");
#ifdef CALL_NEEDED
    (void)CALL_NEEDED();
#endif
#ifdef CHANGE_DIRECTORY
    if (chdir(getenv("ZO_TEST_PLUGIN_DIRECTORY")) != 0) {
        return -1;
    }
#endif
    sleepMilliseconds(INIT_SLEEP_MS);
    haveFaults();
    return INIT_RESULT;
}
#endif

#ifdef STOP_SYMBOL
void STOP_SYMBOL(void);
void STOP_SYMBOL(void) {
    appendToLog("Stop");
    sleepMilliseconds(STOP_SLEEP_MS);
}
#endif

#ifdef CLEANUP_SYMBOL
void CLEANUP_SYMBOL(void);
void CLEANUP_SYMBOL(void) {
    appendToLog("Cleanup");
    sleepMilliseconds(CLEANUP_SLEEP_MS);
}
#endif
