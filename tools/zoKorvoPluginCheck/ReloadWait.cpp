#include "ReloadWait.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "reports/StatusJson.h"
#include "zoqel/quarks/synchronization.h"

namespace nPluginCheck {

namespace {

long long wallClockMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

tReloadResult answer(int exitStatus, const std::string& text) {
    return tReloadResult{exitStatus, text + "\n"};
}

// Closes the inotify descriptor however the wait ends.
class tDirectoryWatch {
  public:
    explicit tDirectoryWatch(const std::string& directory)
        : descriptor(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        // The status is replaced by a rename into the directory.
        if (descriptor >= 0 &&
            inotify_add_watch(descriptor, directory.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
            close(descriptor);
            descriptor = -1;
        }
    }
    ~tDirectoryWatch() {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    tDirectoryWatch(const tDirectoryWatch&) = delete;
    tDirectoryWatch& operator=(const tDirectoryWatch&) = delete;

    // Until something in the directory changed, or `ms` passed; without a
    // watch (no inotify) a short pause stands for it.
    void waitForChange(int ms) const {
        if (descriptor < 0) {
            const timespec pause{0, 100 * 1000000L};
            nanosleep(&pause, nullptr);
            return;
        }
        pollfd watched{descriptor, POLLIN, 0};
        if (poll(&watched, 1, ms) > 0) {
            char events[4096];
            while (read(descriptor, events, sizeof events) > 0) {
            }
        }
    }

  private:
    int descriptor;
};

}  // namespace

long long isoTimeMs(const std::string& text) {
    struct tm utc {};
    const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
    if (rest == nullptr) {
        return 0;
    }
    long long ms = static_cast<long long>(timegm(&utc)) * 1000;
    if (rest[0] == '.') {
        ms += strtol(rest + 1, nullptr, 10);
    }
    return ms;
}

tReloadResult reloadResultIn(const std::string& json, pid_t pid, long long askedMs) {
    nlohmann::json status;
    try {
        status = nlohmann::json::parse(json);
    } catch (const nlohmann::json::exception&) {
        return tReloadResult{-1, ""};  // replaced while read, or not yet there
    }
    if (!status.is_object() || status.value("schema", 0) != kStatusJsonSchema ||
        status.value("pid", 0) != pid) {
        return tReloadResult{-1, ""};
    }
    const std::string phase = status.value("phase", "");
    const nlohmann::json& reload = status["reload"];
    if (reload.is_object() && isoTimeMs(reload.value("at", "")) >= askedMs) {
        const nlohmann::json& counts = reload["counts"];
        const std::string summary = std::to_string(counts.value("kept", 0)) + " kept, " +
                                    std::to_string(counts.value("stopped", 0)) + " stopped, " +
                                    std::to_string(counts.value("started", 0)) + " started, " +
                                    std::to_string(counts.value("refused", 0)) + " refused, " +
                                    std::to_string(counts.value("failed", 0)) + " failed";
        if (reload.value("successful", false)) {
            return answer(0, "Reload done: " + summary);
        }
        return answer(1, "Reload failed: " + reload.value("failure", std::string("no reason")) +
                             "; the plugins run as before it");
    }
    if (phase == "stopping" || phase == "stopped") {
        return answer(1, "Reload not done: the service is " + phase);
    }
    return tReloadResult{-1, ""};
}

tReloadResult reloadAndWait(pid_t pid, const std::string& statusDirectory, double timeoutS) {
    const std::string path = statusDirectory + "/" + kStatusJsonFileName;
    // Watched before the request, so that no write after it goes unseen.
    const tDirectoryWatch watch(statusDirectory);
    // Whole milliseconds, as the status writes times: a reload that began
    // in the millisecond of the request counts as after it.
    const long long askedMs = wallClockMs();
    if (pid <= 0 || kill(pid, SIGHUP) != 0) {
        return answer(2, "Cannot send SIGHUP to process " + std::to_string(pid) + ": " +
                             (pid <= 0 ? "no such process" : strerror(errno)));
    }
    const uint64_t deadlineNs =
        zoqel::monotonicNowNs() + static_cast<uint64_t>(timeoutS * 1e9);
    for (;;) {
        const tReloadResult result = reloadResultIn(readWholeFile(path), pid, askedMs);
        if (result.exitStatus >= 0) {
            return result;
        }
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            return answer(1, "Reload not done: process " + std::to_string(pid) + " ended");
        }
        const uint64_t nowNs = zoqel::monotonicNowNs();
        if (nowNs >= deadlineNs) {
            char seconds[32];
            snprintf(seconds, sizeof seconds, "%g", timeoutS);
            return answer(2, std::string("No reload result within ") + seconds + " s in " + path);
        }
        // A second at most: a service that ended is noticed by the check above.
        const uint64_t leftMs = (deadlineNs - nowNs) / 1000000;
        watch.waitForChange(static_cast<int>(leftMs < 1000 ? leftMs + 1 : 1000));
    }
}

}  // namespace nPluginCheck
