/*
 * The plugin of the whole-process startup benchmark: the least a plugin can
 * be, so that what is measured is the host's cost per plugin.
 *
 * It is compiled twice. The ordinary build is copied to one file per plugin
 * (distinct files are distinct libraries to the dynamic loader, so N copies
 * are N loads). The build with ZO_BENCH_SIGNAL_AT_INITIALIZE is the plugin
 * that starts last: its Initialize sends SIGTERM to its own process, which
 * ends the run the way an administrator's stop would.
 */
#include <signal.h>
#include <stdint.h>
#include <unistd.h>

int32_t benchInitialize(void);
void benchStop(void);
void benchCleanup(void);

int32_t benchInitialize(void) {
#ifdef ZO_BENCH_SIGNAL_AT_INITIALIZE
    kill(getpid(), SIGTERM);
#endif
    return 0;
}

void benchStop(void) {}

void benchCleanup(void) {}
