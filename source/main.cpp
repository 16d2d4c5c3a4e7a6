// The process: command line, optional detaching, the signal-driven shutdown
// through a self-pipe and a stop thread, and the single tService.
//
// The main thread builds the service and spends the life of the process in
// its run cycle. The stop thread only turns SIGINT or SIGTERM into
// requestStop(). The signal handler touches only `caughtSignal` and the
// pipe. When the service manager gave the process a notification socket, a
// notifier with a watching thread of its own tells it what the service is
// doing; without one nothing of it exists. When standard error is the
// journal, the service's events go to it as records; else nothing is logged. After the run cycle
// the process tears the service down, restores the default dispositions and re-raises the caught
// signal, so that it ends the way an unhandled SIGINT or SIGTERM would have ended it.
#include <errno.h>
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "FixedPaths.h"
#include "ServiceNotifier.h"
#include "reports/Journal.h"
#include "tService.h"
#include "zoerr/Status.h"

namespace {

// Bytes that travel through wakePipe.
constexpr char kStopByte = 's';
constexpr char kEndByte = 'e';

int wakePipe[2];
volatile sig_atomic_t caughtSignal;
std::unique_ptr<tService> theService;

const char kUsage[] =
    "Usage: zoKorvoRemoteService [OPTIONS]\n"
    "  -d, --daemon   use daemon(3) to run in the background\n"
    "      --metrics-file PATH\n"
    "                 also write the status as Prometheus metrics to PATH (absolute),\n"
    "                 e.g. in node_exporter's textfile directory\n"
    "  -h, --help     display this help and exit\n";

// Options that have no short form.
enum tLongOption { kMetricsFileOption = 256 };

struct tOptions {
    bool detach = false;
    std::string metricsFile;  // empty: no metrics file
};

void writeWakeByte(char byte) {
    while (write(wakePipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

void onSignal(int sig) {
    const int savedErrno = errno;
    caughtSignal = sig;
    writeWakeByte(kStopByte);
    errno = savedErrno;
}

int installSignalHandlers(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler != nullptr ? handler : SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        return 1;
    }
    return sigaction(SIGTERM, &action, nullptr) != 0 ? 1 : 0;
}

// Runs `operation` on the held service. Every failure is converted to a
// code and dropped: the administrator sees failures in the status file.
// Exceptions that are not standard ones (a plugin may throw anything) are
// dropped too, so the stop thread is always joined before the teardown.
template <typename Operation>
bool guarded(Operation operation) {
    try {
        operation();
        return true;
    } catch (const std::exception&) {
        (void)zoerr::codeFromCurrentException();
    } catch (...) {
    }
    return false;
}

int createService() {
    // The holder is empty here; reset() destroys any earlier object before
    // the new one is taken.
    return guarded([] { theService.reset(new tService()); }) ? 0 : -1;
}

void runService() {
    guarded([] { theService->run(); });
}

void stopService() {
    guarded([] { theService->requestStop(); });
}

void destroyService() {
    guarded([] { theService.reset(); });
}

void* stopThreadMain(void*) {
    char byte = 0;
    while (read(wakePipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    if (byte == kStopByte) {
        stopService();
    }
    return nullptr;
}

void printHint(const char* program) {
    fprintf(stderr, "Try `%s --help' for more information.\n", program);
}

// Returns -1 to go on, or the exit code when the options end the process.
int parseOptions(int argc, char** argv, tOptions& options) {
    static const option kLongOptions[] = {
        {"daemon", no_argument, nullptr, 'd'},
        {"metrics-file", required_argument, nullptr, kMetricsFileOption},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "dh", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'd':
                options.detach = true;
                break;
            case kMetricsFileOption:
                // The working directory of a service is nothing to rely on,
                // and a directory alone names no file.
                if (optarg[0] != '/' || optarg[strlen(optarg) - 1] == '/') {
                    fprintf(stderr, "%s: --metrics-file needs an absolute path of a file\n",
                            argv[0]);
                    printHint(argv[0]);
                    return 1;
                }
                options.metricsFile = optarg;
                break;
            case 'h':
                printf("%s", kUsage);
                return 0;
            default:
                printHint(argv[0]);
                return 1;
        }
    }
    return -1;
}

void closeWakePipe() {
    close(wakePipe[1]);
    close(wakePipe[0]);
}

// The notifier when the service manager asked for notifications; false when
// it asked and the notifier cannot be had.
bool createNotifier(std::unique_ptr<tServiceNotifier>& notifier) {
    return guarded([&notifier] { notifier = tServiceNotifier::createWhenAsked(); });
}

// The journal when the service's standard error is the journal.
bool createJournal(std::unique_ptr<tJournal>& journal) {
    return guarded([&journal] { journal = tJournal::createWhenStderrIsJournal(kJournalSocket); });
}

// Runs the service from construction to destruction; returns the exit code.
int serve(const tOptions& options) {
    std::unique_ptr<tServiceNotifier> notifier;
    std::unique_ptr<tJournal> journal;
    if (!createNotifier(notifier) || !createJournal(journal) || createService() < 0) {
        return 1;
    }
    theService->notifyThrough(notifier.get());
    theService->logThrough(journal.get());
    theService->writeMetricsTo(options.metricsFile);
    pthread_t stopThread;
    if (pthread_create(&stopThread, nullptr, stopThreadMain, nullptr) != 0) {
        notifier.reset();
        destroyService();
        return 1;
    }
    runService();
    // Wakes a stop thread still waiting when the cycle ended without a
    // signal; after an "s" the thread has ended and the byte stays unread.
    writeWakeByte(kEndByte);
    pthread_join(stopThread, nullptr);
    // The notifier's thread reads the plugin records' names: it ends first.
    theService->notifyThrough(nullptr);
    notifier.reset();
    // The service logs its end as it is destroyed: the journal outlives it.
    destroyService();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    tOptions options;
    const int optionsExit = parseOptions(argc, argv, options);
    if (optionsExit >= 0) {
        return optionsExit;
    }
    if (options.detach && daemon(0, 0) != 0) {
        return 1;
    }
    if (pipe(wakePipe) != 0) {
        return 1;
    }
    if (installSignalHandlers(onSignal) != 0) {
        closeWakePipe();
        return 1;
    }
    const int exitCode = serve(options);
    installSignalHandlers(nullptr);
    if (caughtSignal != 0) {
        raise(caughtSignal);
    }
    closeWakePipe();
    return exitCode;
}
