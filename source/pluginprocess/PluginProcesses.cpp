#include "pluginprocess/PluginProcesses.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "pluginprocess/PluginChannel.h"
#include "pluginprocess/PluginProcessWatch.h"
#include "plugins/IsolatedPlugin.h"
#include "plugins/PluginProcessSettings.h"
#include "safety/PathSafety.h"
#include "zoerr/Status.h"

namespace nPluginProcesses {

namespace {

std::string theHost;
std::unique_ptr<tPluginProcessWatch> theWatch;
bool outputToJournal = false;

// What the service manager handed the service for itself alone: a plugin's
// process is no part of the unit's protocol with its manager.
bool managerVariable(const char* entry) {
    static const char* const kPrefixes[] = {
        "NOTIFY_SOCKET=", "LISTEN_",       "WATCHDOG_",     "JOURNAL_STREAM=", "MANAGERPID=",
        "MAINPID=",       "SYSTEMD_EXEC_PID=", "INVOCATION_ID=", "MONITOR_",   "TRIGGER_",
    };
    for (const char* prefix : kPrefixes) {
        if (strncmp(entry, prefix, strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

std::string signalName(int sig) {
    const char* abbreviation = sigabbrev_np(sig);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(sig);
}

std::string endTextOf(int status) {
    if (WIFSIGNALED(status)) {
        return "ended by " + signalName(WTERMSIG(status));
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

int openProcessDescriptor(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Each call its own pair of the spawn's settings, released at scope end.
class tSpawnSettings {
  public:
    tSpawnSettings() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~tSpawnSettings() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    tSpawnSettings(const tSpawnSettings&) = delete;
    tSpawnSettings& operator=(const tSpawnSettings&) = delete;

    // The plugin's output to descriptors 1 and 2, the channel to 3, nothing
    // else: every other descriptor of the service is closed in the child
    // before the exec. The stop signals the service blocks are unblocked and
    // every signal has its default action. A process group of its own keeps
    // a terminal's Ctrl-C off it: the service stops it in its order.
    void arrange(int channel, int output) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
        posix_spawn_file_actions_adddup2(&actions, channel, kChannelDescriptor);
        posix_spawn_file_actions_addclosefrom_np(&actions, kChannelDescriptor + 1);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int sig = 1; sig < NSIG; ++sig) {
            if (sig != SIGKILL && sig != SIGSTOP && sig < SIGRTMIN) {
                sigaddset(&defaults, sig);
            }
        }
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                  POSIX_SPAWN_SETPGROUP);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// Why the library named by `path` is one root must not trust; empty when
// it may, or when the loader's search finds it (a bare name, a path with
// the loader's tokens), which the judge in the plugin's process judges.
std::string unsafeLibraryPath(const std::string& path) {
    if (path.find('/') == std::string::npos || path.find('$') != std::string::npos) {
        return std::string();
    }
    tPathSafety pathSafety(tPathSafety::tTrust::rootAlone);
    const tPathVerdict verdict = pathSafety.check(path);
    return verdict.safe() ? std::string() : verdict.reason();
}

class tPluginProcess final : public tIsolatedPlugin {
  public:
    explicit tPluginProcess(const tPluginDescription& description)
        : pluginName(description.name),
          userText(description.process.user),
          stopTimeoutMs(int64_t{description.process.stopTimeoutS} * 1000) {}
    ~tPluginProcess() override { endProcess(); }

    void load(const tPluginDescription& description, std::string& refusal) override {
        currentStep = "Initialize";
        // Judged here first, as root, whoever the plugin's process will run
        // as: a library another user could change is never handed to it.
        // The loader's judge in that process judges what the library needs.
        refusal = unsafeLibraryPath(description.path);
        if (!refusal.empty()) {
            ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
        }
        spawn(description);
        const tChannelAnswer answer = ask(tChannelRequest::load, &description, -1);
        if (answer.outcome == tChannelAnswer::tOutcome::refused) {
            refusal = answer.text;
            ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
        }
        raiseUnlessReturned(answer);
        loadedFileName = answer.text;
    }

    int32_t initialize() override {
        currentStep = "Initialize";
        const tChannelAnswer answer = ask(tChannelRequest::initialize, nullptr, -1);
        raiseUnlessReturned(answer);
        return answer.code;
    }

    void stop() override {
        currentStep = "Stop";
        runBoundedStep(tChannelRequest::stop);
    }

    void cleanup() override {
        currentStep = "Cleanup";
        runBoundedStep(tChannelRequest::cleanup);
    }

    // The host closes the library and ends once the channel is closed; one
    // that takes longer than a Stop may is killed, and with it whatever of
    // the plugin's own still runs in its process group.
    void end() noexcept override { endProcess(); }

    bool ended() override {
        if (reaped) {
            return true;
        }
        if (processDescriptor < 0 || !waitForEnd(0)) {
            return false;
        }
        reap();
        return true;
    }

    const std::string& endText() const override { return howEnded; }
    const std::string& endedInStep() const override { return stepEndedIn; }
    pid_t pid() const override { return processId; }
    const std::string& loadedFile() const override { return loadedFileName; }
    const std::string& user() const override { return userText; }

  private:
    void endProcess() noexcept {
        if (channel >= 0) {
            close(channel);
            channel = -1;
        }
        if (processId > 0 && !reaped) {
            if (!waitForEnd(stopTimeoutMs)) {
                killpg(processId, SIGKILL);
            }
            reap();
        }
        if (processDescriptor >= 0) {
            close(processDescriptor);
            processDescriptor = -1;
        }
    }

    void spawn(const tPluginDescription& description) {
        tPluginIdentity identity;
        std::string why;
        if (!resolvePluginUser(description.process, identity, why)) {
            ZOERR_RAISE(kPluginProcessRefused, "zokorvoerr_pluginProcessRefused");
        }
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            ZOERR_RAISE(zoerr::kOsFault, "zoqelerr_osFault");
        }
        channel = pair[0];
        int output[2] = {-1, STDERR_FILENO};
        if (outputToJournal && pipe2(output, O_CLOEXEC) != 0) {
            close(pair[1]);
            ZOERR_RAISE(zoerr::kOsFault, "zoqelerr_osFault");
        }
        tSpawnSettings settings;
        settings.arrange(pair[1], output[1]);
        const std::string parent = std::to_string(getpid());
        const std::string uid = std::to_string(identity.uid);
        const std::string gid = std::to_string(identity.gid);
        const std::string userName = identity.userName.empty() ? "-" : identity.userName;
        const char* const arguments[] = {theHost.c_str(), parent.c_str(), uid.c_str(), gid.c_str(),
                                         userName.c_str(), identity.changesUser ? "1" : "0",
                                         nullptr};
        std::vector<char*> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!managerVariable(*entry)) {
                environment.push_back(*entry);
            }
        }
        environment.push_back(nullptr);
        const int spawned = posix_spawn(&processId, theHost.c_str(), &settings.actions,
                                        &settings.attributes, const_cast<char* const*>(arguments),
                                        environment.data());
        close(pair[1]);
        if (output[1] != STDERR_FILENO) {
            close(output[1]);
        }
        if (spawned != 0) {
            processId = 0;
            if (output[0] >= 0) {
                close(output[0]);
            }
            ZOERR_RAISE(zoerr::kInvalidParameter, "zoqelerr_invalidParameter");
        }
        processDescriptor = openProcessDescriptor(processId);
        if (processDescriptor < 0) {
            killpg(processId, SIGKILL);
            reap();
            if (output[0] >= 0) {
                close(output[0]);
            }
            ZOERR_RAISE(zoerr::kOsFault, "zoqelerr_osFault");
        }
        if (theWatch) {
            theWatch->watch(processDescriptor, output[0], pluginName);
        } else if (output[0] >= 0) {
            close(output[0]);
        }
    }

    // The plugin's own code, or what left its step, as the service's
    // process would have raised it.
    static void raiseUnlessReturned(const tChannelAnswer& answer) {
        switch (answer.outcome) {
            case tChannelAnswer::tOutcome::returned:
                return;
            case tChannelAnswer::tOutcome::foreign:
                throw tForeignException();
            default:
                ZOERR_RAISE(answer.code, "pluginStatus");
        }
    }

    // Stop and Cleanup are bounded by StopTimeoutSec=; a process that ended
    // already has nothing left to stop.
    void runBoundedStep(tChannelRequest request) {
        if (reaped || channel < 0) {
            return;
        }
        raiseUnlessReturned(ask(request, nullptr, stopTimeoutMs));
    }

    // Sends `request` and waits for its answer, at most `timeoutMs` (-1: as
    // long as it takes). A process that ends meanwhile, or is killed for
    // taking too long, raises the step's code of its own.
    tChannelAnswer ask(tChannelRequest request, const tPluginDescription* description,
                       int64_t timeoutMs) {
        tChannelAnswer answer;
        timedOut = false;
        if (sendRequest(channel, request, description) && awaitAnswer(timeoutMs) &&
            receiveAnswer(channel, answer)) {
            return answer;
        }
        if (!reaped && !waitForEnd(0) && timedOut) {
            killpg(processId, SIGKILL);
            reap();
            howEnded = "killed after StopTimeoutSec=" + std::to_string(stopTimeoutMs / 1000);
            stepEndedIn = currentStep;
            ZOERR_RAISE(kPluginStepTimedOut, "zokorvoerr_pluginStepTimedOut");
        }
        // The channel broke: the process is ending or gone.
        killpg(processId, SIGKILL);
        reap();
        stepEndedIn = currentStep;
        ZOERR_RAISE(lastStatusSignaled ? kPluginProcessSignaled : kPluginProcessExited,
                    lastStatusSignaled ? "zokorvoerr_pluginProcessSignaled"
                                       : "zokorvoerr_pluginProcessExited");
        return answer;
    }

    // True when an answer waits; false when the process ended first or the
    // time ran out (then `timedOut`).
    bool awaitAnswer(int64_t timeoutMs) {
        timedOut = false;
        const int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
        for (;;) {
            pollfd polled[2] = {{channel, POLLIN, 0}, {processDescriptor, POLLIN, 0}};
            const int64_t left = deadline < 0 ? -1 : std::max<int64_t>(0, deadline - nowMs());
            const int ready = poll(polled, 2, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            // An answer sent right before the end is still the step's answer.
            if ((polled[0].revents & POLLIN) != 0) {
                return true;
            }
            if (ready != 0) {
                return false;
            }
            if (deadline >= 0 && nowMs() >= deadline) {
                timedOut = true;
                return false;
            }
        }
    }

    static int64_t nowMs() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    }

    bool waitForEnd(int64_t timeoutMs) {
        if (processDescriptor < 0) {
            return true;
        }
        pollfd polled{processDescriptor, POLLIN, 0};
        int ready;
        do {
            ready = poll(&polled, 1, static_cast<int>(timeoutMs));
        } while (ready < 0 && errno == EINTR);
        return ready > 0;
    }

    // Whatever of the plugin's still runs in its group goes with it; the
    // group's id stays reserved until the leader is reaped here.
    void reap() {
        if (reaped || processId <= 0) {
            return;
        }
        int status = 0;
        pid_t waited;
        do {
            waited = waitpid(processId, &status, 0);
        } while (waited < 0 && errno == EINTR);
        killpg(processId, SIGKILL);
        reaped = true;
        if (waited == processId) {
            lastStatusSignaled = WIFSIGNALED(status);
            howEnded = endTextOf(status);
        }
    }

    std::string pluginName;
    std::string userText;
    int64_t stopTimeoutMs;
    pid_t processId = 0;
    int channel = -1;
    int processDescriptor = -1;
    bool reaped = false;
    bool timedOut = false;
    bool lastStatusSignaled = false;
    std::string howEnded;
    std::string stepEndedIn;
    const char* currentStep = "Initialize";
    std::string loadedFileName;
};

std::unique_ptr<tIsolatedPlugin> makePluginProcess(const tPluginDescription& description) {
    return std::make_unique<tPluginProcess>(description);
}

}  // namespace

std::string hostExecutable(const std::string& hostPath) {
    static const std::string kOrigin = "$ORIGIN/";
    if (hostPath.compare(0, kOrigin.size(), kOrigin) != 0) {
        return hostPath;
    }
    char executable[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
    if (length <= 0) {
        return hostPath;
    }
    std::string directory(executable, static_cast<size_t>(length));
    directory.erase(directory.rfind('/'));
    return directory + "/" + hostPath.substr(kOrigin.size());
}

void enable(tSettings settings) {
    theHost = hostExecutable(settings.hostPath);
    outputToJournal = !settings.journalSocket.empty();
    // Without a journal and without anyone to tell, there is nothing to
    // watch: no thread of it.
    if (outputToJournal || settings.processEnded) {
        theWatch = std::make_unique<tPluginProcessWatch>(settings.journalSocket,
                                                         std::move(settings.processEnded));
    }
    setIsolatedPluginFactory(makePluginProcess);
}

void disable() {
    setIsolatedPluginFactory(nullptr);
    theWatch.reset();
}

}  // namespace nPluginProcesses
