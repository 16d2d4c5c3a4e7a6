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
 *   LOG_ENVIRONMENT    when defined, Initialize also logs "<PLUGIN_NAME> Sees <VARIABLE>"
 *                      for each of the service manager's variables it finds set
 *   SHARE_LOG          when defined, the log is also zoTestPluginLog(), hidden, for
 *                      the C++ sources linked into the same library
 *   CALL_NEEDED        Initialize first calls this function of a library it needs
 *   CHANGE_DIRECTORY   Initialize changes the working directory to the one the
 *                      environment variable ZO_TEST_PLUGIN_DIRECTORY names
 *   WAIT_AT_GATE       Initialize, once logged, waits until the file that
 *                      ZO_TEST_PLUGIN_GATE names exists (not at all when unset):
 *                      the test acts while the service is inside the step
 * and, for the checker's trial, faults a plugin may have (each set to 1):
 *   CRASH_IN_INIT      Initialize dies of SIGSEGV
 *   LEAVE_THREAD       Initialize starts a thread that nothing ever ends
 *   RUN_INTO_CLOSE     that thread waits for the plugin's Cleanup, and from then
 *                      on keeps returning into this library's code: it faults
 *                      the first time it runs after the close
 *   LEAVE_DESCRIPTOR   Initialize opens /dev/null and never closes it
 *   LEAVE_PROCESS      Initialize starts a child process that nothing waits
 *                      for and logs "<PLUGIN_NAME> Process <pid>"; it ends
 *                      itself after a minute at the latest
 *   SCRIBBLE_PIPES     Initialize writes six stray bytes into every pipe it holds
 *   CLOSE_DESCRIPTORS  Initialize closes descriptors 3 to 1023, as daemons do;
 *                      with 2, every descriptor from 3 up (close_range)
 *   HOLD_DATA_FILE     Initialize opens the file named by ZO_TEST_PLUGIN_DATA,
 *                      Cleanup closes it
 *   BLOCK_SIGTERM      Initialize blocks SIGTERM on its calling thread
 *   HANDLE_SIGINT      Initialize installs a handler for SIGINT
 *   HANDLE_SIGSEGV     Initialize installs a SIGSEGV handler that exits with 0
 *   LATE_CRASH_MS      Initialize starts a thread that faults this many
 *                      milliseconds later, in this library's code
 *   LATE_CRASH_ONCE    with LATE_CRASH_MS: the thread faults only while the file
 *                      that ZO_TEST_PLUGIN_CRASH_MARK names does not exist, and
 *                      creates it first, so that a restarted plugin lives on
 *   LOG_IDENTITY       Initialize writes "<PLUGIN_NAME> Identity euid=<n> egid=<n>
 *                      regained=<0|1>" to its standard output, regained saying
 *                      whether it could make itself root again
 *   WRITE_DESCRIPTORS  Initialize writes a few bytes to every descriptor from
 *                      3 to 1023, as a plugin with a stale descriptor number does
 * and the ways a plugin ends the process it runs in:
 *   EXIT_IN_INIT       Initialize calls exit() with this status
 *   QUICK_EXIT_IN_INIT Initialize calls quick_exit() with this status
 *   EXIT_LATER_MS      Initialize starts a thread that calls exit(EXIT_LATER_STATUS)
 *                      this many milliseconds later
 *   UNDERSCORE_EXIT_IN_STOP  Stop calls _exit() with this status
 *   ABORT_LATER_MS     Initialize starts a thread that calls abort() this many
 *                      milliseconds later
 *   CRASH_IN_CONSTRUCTOR  the library's constructor dies of SIGSEGV
 *   HANG_IN_CONSTRUCTOR   the library's constructor sleeps for ten minutes
 *
 * Every entry point appends the line "<PLUGIN_NAME> <Initialize|Stop|Cleanup>"
 * to the file named by the environment variable ZO_TEST_PLUGIN_LOG, opening it
 * with O_APPEND for each call, so that calls of several plugins, and of
 * several processes, keep their order in one log. Without the variable
 * nothing is written. Everything but the entry points is static, so that
 * libraries loaded with global symbols never bind to each other's helpers.
 */
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
#ifndef RUN_INTO_CLOSE
#define RUN_INTO_CLOSE 0
#endif
#ifndef LEAVE_DESCRIPTOR
#define LEAVE_DESCRIPTOR 0
#endif
#ifndef LEAVE_PROCESS
#define LEAVE_PROCESS 0
#endif
#ifndef SCRIBBLE_PIPES
#define SCRIBBLE_PIPES 0
#endif
#ifndef CLOSE_DESCRIPTORS
#define CLOSE_DESCRIPTORS 0
#endif
#ifndef HOLD_DATA_FILE
#define HOLD_DATA_FILE 0
#endif
#ifndef BLOCK_SIGTERM
#define BLOCK_SIGTERM 0
#endif
#ifndef HANDLE_SIGINT
#define HANDLE_SIGINT 0
#endif
#ifndef HANDLE_SIGSEGV
#define HANDLE_SIGSEGV 0
#endif
#ifndef LATE_CRASH_MS
#define LATE_CRASH_MS 0
#endif
#ifndef WRITE_DESCRIPTORS
#define WRITE_DESCRIPTORS 0
#endif
#ifndef EXIT_LATER_MS
#define EXIT_LATER_MS 0
#endif
#ifndef EXIT_LATER_STATUS
#define EXIT_LATER_STATUS 0
#endif
#ifndef ABORT_LATER_MS
#define ABORT_LATER_MS 0
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

#ifdef SHARE_LOG
__attribute__((visibility("hidden"))) void zoTestPluginLog(const char* entry);
__attribute__((visibility("hidden"))) void zoTestPluginLog(const char* entry) {
    appendToLog(entry);
}
#endif

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

static pid_t leftThread; /* its thread id, once it runs */
/* A real fault in this library's own code, under whatever handler the
   process has: a store into a page that allows no access. A store through a
   null pointer would not do under g++'s UndefinedBehaviorSanitizer, which
   ends the process with its own report and exit status before the store is
   made. */
__attribute__((unused)) static void faultHere(void) {
    void* page = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        abort();
    }
    volatile int* forbidden = page;
    *forbidden = 1;
}

#ifdef CRASH_IN_CONSTRUCTOR
__attribute__((constructor)) static void crashWhileMapped(void) {
    faultHere();
}
#endif

#ifdef HANG_IN_CONSTRUCTOR
__attribute__((constructor)) static void hangWhileMapped(void) {
    sleepMilliseconds(600000);
}
#endif


static pthread_mutex_t cleanupLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cleanupChange = PTHREAD_COND_INITIALIZER;
static int cleanupCalled;   /* Cleanup began */
static int threadRunsAgain; /* the left thread woke for it */

/* The left thread's code from Cleanup on: every return from sched_yield
   lands in this library, so the thread faults as soon as it runs after the
   close, however late the machine lets it run. */
__attribute__((unused)) static void runIntoTheClose(void) {
    pthread_mutex_lock(&cleanupLock);
    while (!cleanupCalled) {
        pthread_cond_wait(&cleanupChange, &cleanupLock);
    }
    threadRunsAgain = 1;
    pthread_cond_broadcast(&cleanupChange);
    pthread_mutex_unlock(&cleanupLock);
    for (;;) {
        sched_yield();
    }
}

/* Cleanup's side: returns once the left thread runs again. */
__attribute__((unused)) static void wakeTheLeftThread(void) {
    pthread_mutex_lock(&cleanupLock);
    cleanupCalled = 1;
    pthread_cond_broadcast(&cleanupChange);
    while (!threadRunsAgain) {
        pthread_cond_wait(&cleanupChange, &cleanupLock);
    }
    pthread_mutex_unlock(&cleanupLock);
}

/* Sleeps until the process ends: its code lies in this library. */
__attribute__((unused)) static void* sleepForever(void* unused) {
    (void)unused;
    __atomic_store_n(&leftThread, (pid_t)syscall(SYS_gettid), __ATOMIC_RELEASE);
    if (RUN_INTO_CLOSE) {
        runIntoTheClose();
    }
    for (;;) {
        pause();
    }
    return NULL;
}

/* True once `thread` sleeps in the kernel ("S" in its stat file). */
__attribute__((unused)) static int threadSleeps(pid_t thread) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%ld/stat", (long)thread);
    FILE* stat = fopen(path, "r");
    if (stat == NULL) {
        return 0;
    }
    char line[512];
    const char* fields = fgets(line, sizeof line, stat);
    fclose(stat);
    /* The state follows the name, which ends with the last ')'. */
    const char* nameEnd = fields != NULL ? strrchr(fields, ')') : NULL;
    return nameEnd != NULL && nameEnd[1] == ' ' && nameEnd[2] == 'S';
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
        /* Asleep in the kernel before the library can be closed: a thread
           still on its way there would run into the closed library and crash.
           It only ever sleeps in pause() or, with RUN_INTO_CLOSE, waiting for
           Cleanup. */
        pid_t running;
        while ((running = __atomic_load_n(&leftThread, __ATOMIC_ACQUIRE)) == 0 ||
               !threadSleeps(running)) {
            sleepMilliseconds(1);
        }
    }
}

__attribute__((unused)) static void leaveProcess(void) {
    if (fork() == 0) {
        char entry[64];
        snprintf(entry, sizeof entry, "Process %ld", (long)getpid());
        appendToLog(entry);
        /* A minute at the latest, should nobody end it. */
        alarm(60);
        for (;;) {
            pause();
        }
    }
}

/* Writes into every pipe among its open descriptors, wherever it came from. */
__attribute__((unused)) static void scribbleOnPipes(void) {
    DIR* listing = opendir("/proc/self/fd");
    if (listing == NULL) {
        return;
    }
    /* A pipe whose reader is gone (the sanitizers' own, say) would end the
     * process by SIGPIPE: held back and taken here, the scribbler stays a
     * plugin that returns. */
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    struct dirent* entry;
    while ((entry = readdir(listing)) != NULL) {
        const int descriptor = atoi(entry->d_name);
        struct stat status;
        if (descriptor > 2 && fstat(descriptor, &status) == 0 && S_ISFIFO(status.st_mode)) {
            (void)write(descriptor, "stray!", 6);
        }
    }
    closedir(listing);
    const struct timespec noWait = {0, 0};
    while (sigtimedwait(&pipeSignal, NULL, &noWait) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, NULL);
}

static int dataFile = -1;

__attribute__((unused)) static void onSignal(int signal) {
    (void)signal;
}

__attribute__((unused)) static void exitQuietly(int signal) {
    (void)signal;
    _exit(0);
}

__attribute__((unused)) static void takeSignal(int signal, void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigaction(signal, &action, NULL);
}

__attribute__((unused)) static void blockSigterm(void) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, NULL);
}

/* Faults in this library's own code after LATE_CRASH_MS. */
__attribute__((unused)) static void* crashLater(void* unused) {
    (void)unused;
    sleepMilliseconds(LATE_CRASH_MS);
#ifdef LATE_CRASH_ONCE
    const char* mark = getenv("ZO_TEST_PLUGIN_CRASH_MARK");
    if (mark == NULL || open(mark, O_WRONLY | O_CREAT | O_EXCL, 0644) < 0) {
        return NULL;
    }
#endif
    faultHere();
    return NULL;
}

/* Ends the process from a thread of this library's after EXIT_LATER_MS. */
__attribute__((unused)) static void* exitLater(void* unused) {
    (void)unused;
    sleepMilliseconds(EXIT_LATER_MS);
    exit(EXIT_LATER_STATUS);
    return NULL;
}

__attribute__((unused)) static void* abortLater(void* unused) {
    (void)unused;
    sleepMilliseconds(ABORT_LATER_MS);
    abort();
    return NULL;
}

__attribute__((unused)) static void startDetached(void* (*function)(void*)) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, function, NULL) == 0) {
        pthread_detach(thread);
    }
}

__attribute__((unused)) static void startLateCrash(void) {
    startDetached(crashLater);
}

/* A write of a few bytes to every descriptor that may be open: whatever the
   process holds there (the service's sockets, its logs) gets them. */
__attribute__((unused)) static void writeDescriptors(void) {
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    for (int descriptor = 3; descriptor < 1024; ++descriptor) {
        (void)write(descriptor, "stale", 5);
    }
    const struct timespec noWait = {0, 0};
    while (sigtimedwait(&pipeSignal, NULL, &noWait) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, NULL);
}

__attribute__((unused)) static void meddle(void) {
    if (SCRIBBLE_PIPES) {
        scribbleOnPipes();
    }
    if (CLOSE_DESCRIPTORS == 2) {
        syscall(SYS_close_range, 3U, ~0U, 0U);
    } else if (CLOSE_DESCRIPTORS) {
        for (int descriptor = 3; descriptor < 1024; ++descriptor) {
            close(descriptor);
        }
    }
    if (HOLD_DATA_FILE && getenv("ZO_TEST_PLUGIN_DATA") != NULL) {
        dataFile = open(getenv("ZO_TEST_PLUGIN_DATA"), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (BLOCK_SIGTERM) {
        blockSigterm();
    }
    if (HANDLE_SIGINT) {
        takeSignal(SIGINT, onSignal);
    }
    if (HANDLE_SIGSEGV) {
        takeSignal(SIGSEGV, exitQuietly);
    }
    if (LATE_CRASH_MS > 0) {
        startLateCrash();
    }
    if (WRITE_DESCRIPTORS) {
        writeDescriptors();
    }
    if (EXIT_LATER_MS > 0) {
        startDetached(exitLater);
    }
    if (ABORT_LATER_MS > 0) {
        startDetached(abortLater);
    }
#ifdef EXIT_IN_INIT
    exit(EXIT_IN_INIT);
#endif
#ifdef QUICK_EXIT_IN_INIT
    quick_exit(QUICK_EXIT_IN_INIT);
#endif
}

__attribute__((unused)) static void haveFaults(void) {
    meddle();
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

#ifdef WAIT_AT_GATE
static void waitAtGate(void) {
    const char* gate = getenv("ZO_TEST_PLUGIN_GATE");
    struct stat status;
    while (gate != NULL && stat(gate, &status) != 0) {
        sleepMilliseconds(2);
    }
}
#endif

#ifdef INIT_SYMBOL
int32_t INIT_SYMBOL(void);
int32_t INIT_SYMBOL(void) {
    appendToLog("Initialize");
#ifdef LOG_ENVIRONMENT
    const char* const variables[] = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
    char line[64];
    for (size_t i = 0; i < sizeof variables / sizeof variables[0]; ++i) {
        if (getenv(variables[i]) != NULL) {
            strcpy(line, "Sees ");
            strcat(line, variables[i]);
            appendToLog(line);
        }
    }
#endif
#ifdef CALL_NEEDED
    (void)CALL_NEEDED();
#endif
#ifdef LOG_IDENTITY
    const int regained = setuid(0) == 0 || seteuid(0) == 0;
    printf("%s Identity euid=%d egid=%d regained=%d\n", PLUGIN_NAME, (int)geteuid(),
           (int)getegid(), regained);
    fflush(stdout);
#endif
#ifdef CHANGE_DIRECTORY
    if (chdir(getenv("ZO_TEST_PLUGIN_DIRECTORY")) != 0) {
        return -1;
    }
#endif
#ifdef WAIT_AT_GATE
    waitAtGate();
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
#ifdef UNDERSCORE_EXIT_IN_STOP
    _exit(UNDERSCORE_EXIT_IN_STOP);
#endif
    sleepMilliseconds(STOP_SLEEP_MS);
}
#endif

#ifdef CLEANUP_SYMBOL
void CLEANUP_SYMBOL(void);
void CLEANUP_SYMBOL(void) {
    appendToLog("Cleanup");
    if (dataFile >= 0) {
        close(dataFile);
    }
    if (RUN_INTO_CLOSE) {
        wakeTheLeftThread();
    }
    sleepMilliseconds(CLEANUP_SLEEP_MS);
}
#endif
