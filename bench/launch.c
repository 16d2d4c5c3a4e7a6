/*
 * Runs one command and reports what it cost, for startup.py.
 *
 * Usage: zo_bench_launch COMMAND [ARGUMENT...]
 * Prints one line: "<wall ns> <peak resident KiB> <user us> <system us> <wait status>".
 *
 * The peak resident memory of a child (ru_maxrss) counts the memory of the
 * process that forked it until the exec, so a large parent such as a Python
 * interpreter would hide the figure of a small program; this launcher is
 * small enough not to. A child still running after five minutes is killed.
 */
#define _GNU_SOURCE

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile pid_t child = -1;

static void killChild(int signalNumber) {
    (void)signalNumber;
    if (child > 0) {
        kill(child, SIGKILL);
    }
}

static int64_t nowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int64_t microseconds(struct timeval time) {
    return (int64_t)time.tv_sec * 1000000 + time.tv_usec;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "Usage: zo_bench_launch COMMAND [ARGUMENT...]\n");
        return 2;
    }
    signal(SIGALRM, killChild);
    const int64_t startNs = nowNs();
    child = fork();
    if (child < 0) {
        perror("fork");
        return 2;
    }
    if (child == 0) {
        execv(argv[1], argv + 1);
        perror(argv[1]);
        _exit(127);
    }
    alarm(300);
    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0) {
    }
    const int64_t wallNs = nowNs() - startNs;
    printf("%lld %ld %lld %lld %d\n", (long long)wallNs, usage.ru_maxrss,
           (long long)microseconds(usage.ru_utime), (long long)microseconds(usage.ru_stime),
           status);
    return 0;
}
