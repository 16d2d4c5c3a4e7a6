#include "Health.h"

#include <errno.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "reports/StatusJson.h"
#include "zoerr/Status.h"

namespace nPluginCheck {

namespace {

enum tVerdict { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

const char* verdictName(int verdict) {
    static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return kNames[verdict];
}

tHealth verdictLine(int verdict, const std::string& text) {
    return tHealth{verdict, std::string("ZOKORVO ") + verdictName(verdict) + " - " + text + "\n"};
}

struct tFindings {
    int verdict = kOk;
    std::string reason;  // of the worst verdict, first found
    void raise(int to, const std::string& why) {
        if (to > verdict) {
            verdict = to;
            reason = why;
        }
    }
};

void judgePlugins(const nlohmann::json& status, tFindings& findings) {
    for (const nlohmann::json& plugin : status.at("plugins")) {
        const std::string state = plugin.at("state").get<std::string>();
        const int code = plugin.at("steps").at("initialize").at("code").get<int>();
        const std::string name = plugin.at("name").get<std::string>();
        if (state == "failed") {
            findings.raise(kCritical, "plugin " + name + " failed (" + std::to_string(code) + ")");
        } else if (state == "refused" && code != zoerr::kFeatureUnsupported) {
            findings.raise(kWarning, "plugin " + name + " refused (" + std::to_string(code) + ")");
        } else if (code > 0) {
            findings.raise(kWarning,
                           "plugin " + name + " started with warning " + std::to_string(code));
        }
    }
}

void judgeService(const nlohmann::json& status, const tServiceAlive& alive, tFindings& findings) {
    const std::string phase = status.at("phase").get<std::string>();
    if (phase == "stopped") {
        findings.raise(kCritical, "the service has stopped");
    } else if (!alive(status.at("pid").get<pid_t>())) {
        findings.raise(kCritical, "the service is not running (status says " + phase + ")");
    } else if (phase == "starting") {
        findings.raise(kWarning, "the service is starting");
    }
}

tHealth judge(const nlohmann::json& status, const tServiceAlive& alive) {
    if (!status.is_object() || !status.contains("schema") ||
        status.at("schema") != kStatusJsonSchema) {
        return verdictLine(
            kUnknown, "the status has another schema than " + std::to_string(kStatusJsonSchema));
    }
    tFindings findings;
    judgeService(status, alive, findings);
    judgePlugins(status, findings);
    const nlohmann::json& counts = status.at("counts");
    const std::string started = std::to_string(counts.at("started").get<long long>());
    const std::string refused = std::to_string(counts.at("refused").get<long long>());
    const std::string failed = std::to_string(counts.at("failed").get<long long>());
    std::string text = findings.reason.empty() ? "" : findings.reason + "; ";
    text += started + " started, " + refused + " refused, " + failed +
            " failed | started=" + started + " refused=" + refused + " failed=" + failed;
    return verdictLine(findings.verdict, text);
}

}  // namespace

bool serviceProcessAlive(pid_t pid) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH)) {
        return false;
    }
    // The kernel keeps the first 15 bytes of the program's name; a process
    // that took the pid over since would have another.
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.rfind("zoKorvoRemoteSe", 0) == 0;
}

tHealth checkHealth(const std::string& statusDirectory, const tServiceAlive& alive) {
    const std::string path = statusDirectory + "/" + kStatusJsonFileName;
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return errno == ENOENT ? verdictLine(kCritical, "no status: " + path + " does not exist")
                               : verdictLine(kUnknown, "cannot read " + path);
    }
    try {
        std::ostringstream text;
        text << file.rdbuf();
        return judge(nlohmann::json::parse(text.str()), alive);
    } catch (const nlohmann::json::exception& error) {
        return verdictLine(kUnknown, path + " is no status of this service: " + error.what());
    }
}

}  // namespace nPluginCheck
