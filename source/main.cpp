// The process: command line, optional detaching, the signal-driven shutdown
// through a self-pipe and a stop thread, and the single tService.
//
// The main thread builds the service and spends the life of the process in
// its run cycle. The stop thread only turns SIGINT or SIGTERM into
// requestStop() and SIGHUP into requestReload(); it reads the pipe until the
// end, so that no storm of signals fills it. The signal handler touches only
// `caughtSignal` and the pipe; SIGHUP, which ends nothing, is not recorded.
// When the service manager gave the process a notification socket, a
// notifier with a watching thread of its own tells it what the service is
// doing; without one nothing of it exists. After the run cycle the process
// tears the service down, restores the default dispositions and re-raises
// the caught signal, so that it ends the way an unhandled SIGINT or SIGTERM
// would have ended it.
#include <errno.h>
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "ServiceNotifier.h"
#include "tService.h"
#include "zoerr/Status.h"

namespace {

// Bytes that travel through wakePipe.
constexpr char kStopByte = 's';
constexpr char kReloadByte = 'r';
constexpr char kEndByte = 'e';

int wakePipe[2];
volatile sig_atomic_t caughtSignal;
std::unique_ptr<tService> theService;

const char kUsage[] =
    "Usage: zoKorvoRemoteService [OPTIONS]\n"
    "  -d, --daemon   use daemon(3) to run in the background\n"
    "  -h, --help     display this help and exit\n";

void writeWakeByte(char byte) {
    while (write(wakePipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

void onSignal(int sig) {
    const int savedErrno = errno;
    if (sig == SIGHUP) {
        writeWakeByte(kReloadByte);
    } else {
        caughtSignal = sig;
        writeWakeByte(kStopByte);
    }
    errno = savedErrno;
}

// Installs `handler` for SIGINT, SIGTERM and SIGHUP; null restores the
// default of SIGINT and SIGTERM and ignores SIGHUP, so that a reload asked
// for during the teardown never ends the process by a signal of its own.
int installSignalHandlers(void (*handler)(int)) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        if (handler != nullptr) {
            action.sa_handler = handler;
        } else {
            action.sa_handler = sig == SIGHUP ? SIG_IGN : SIG_DFL;
        }
        if (sigaction(sig, &action, nullptr) != 0) {
            return 1;
        }
    }
    return 0;
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

void reloadService() {
    guarded([] { theService->requestReload(); });
}

void destroyService() {
    guarded([] { theService.reset(); });
}

void* stopThreadMain(void*) {
    for (;;) {
        char byte = 0;
        const ssize_t count = read(wakePipe[0], &byte, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 || byte == kEndByte) {
            return nullptr;
        }
        if (byte == kStopByte) {
            stopService();
        } else if (byte == kReloadByte) {
            reloadService();
        }
    }
}

void printHint(const char* program) {
    fprintf(stderr, "Try `%s --help' for more information.\n", program);
}

// Returns -1 to go on, or the exit code when the options end the process.
int parseOptions(int argc, char** argv, bool& detach) {
    static const option kLongOptions[] = {
        {"daemon", no_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "dh", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'd':
                detach = true;
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

// Runs the service from construction to destruction; returns the exit code.
int serve() {
    std::unique_ptr<tServiceNotifier> notifier;
    if (!createNotifier(notifier) || createService() < 0) {
        return 1;
    }
    theService->notifyThrough(notifier.get());
    pthread_t stopThread;
    if (pthread_create(&stopThread, nullptr, stopThreadMain, nullptr) != 0) {
        notifier.reset();
        destroyService();
        return 1;
    }
    runService();
    // Ends the stop thread, which reads every byte before this one.
    writeWakeByte(kEndByte);
    pthread_join(stopThread, nullptr);
    // The notifier's thread reads the plugin records' names: it ends first.
    theService->notifyThrough(nullptr);
    notifier.reset();
    destroyService();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool detach = false;
    const int optionsExit = parseOptions(argc, argv, detach);
    if (optionsExit >= 0) {
        return optionsExit;
    }
    if (detach && daemon(0, 0) != 0) {
        return 1;
    }
    if (pipe(wakePipe) != 0) {
        return 1;
    }
    if (installSignalHandlers(onSignal) != 0) {
        closeWakePipe();
        return 1;
    }
    const int exitCode = serve();
    installSignalHandlers(nullptr);
    if (caughtSignal != 0) {
        raise(caughtSignal);
    }
    closeWakePipe();
    return exitCode;
}
