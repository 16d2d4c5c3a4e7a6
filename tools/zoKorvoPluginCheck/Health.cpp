#include "Health.h"

#include <errno.h>
#include <signal.h>

#include <time.h>

#include <algorithm>
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

// Every problem found, each with its verdict, in the order found.
struct tFindings {
    std::vector<std::pair<int, std::string>> problems;
    void raise(int verdict, const std::string& why) { problems.emplace_back(verdict, why); }
    int verdict() const {
        int worst = kOk;
        for (const auto& problem : problems) {
            worst = std::max(worst, problem.first);
        }
        return worst;
    }
    // Most severe first; of one severity, in the order found.
    std::string text() const {
        std::vector<std::pair<int, std::string>> sorted = problems;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        std::string joined;
        for (const auto& problem : sorted) {
            joined += problem.second + "; ";
        }
        return joined;
    }
};

// A name or a path as one line of output may show it.
std::string oneLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        line += c == '\n' || c == '\r' || c == '|' || c == ';' ? '?' : c;
    }
    return line;
}

// An isolated plugin whose process ended: a warning while it waits to be
// started again, critical once it is down for good.
void judgeProcess(const nlohmann::json& process, const std::string& name, tFindings& findings) {
    if (!process.is_object()) {
        return;
    }
    const std::string state = process.at("state").get<std::string>();
    const std::string restarts = std::to_string(process.at("restarts").get<long long>());
    if (state == "restarting") {
        findings.raise(kWarning, "plugin " + name + " is restarting after its process ended (" +
                                     restarts + " restarts so far)");
    } else if (state == "given up") {
        findings.raise(kCritical, "plugin " + name + " was given up: its process ended after " +
                                      restarts + " restarts");
    } else if (state == "ended") {
        findings.raise(kCritical, "plugin " + name + " is down: its process ended (Restart=no)");
    }
}

void judgePlugins(const nlohmann::json& status, tFindings& findings) {
    for (const nlohmann::json& plugin : status.at("plugins")) {
        const std::string state = plugin.at("state").get<std::string>();
        const int code = plugin.at("steps").at("initialize").at("code").get<int>();
        const std::string name = oneLine(plugin.at("name").get<std::string>());
        if (state == "failed") {
            findings.raise(kCritical, "plugin " + name + " failed (" + std::to_string(code) + ")");
        } else if (state == "refused" && code != zoerr::kFeatureUnsupported) {
            findings.raise(kWarning, "plugin " + name + " refused (" + std::to_string(code) + ")");
        } else if (code > 0) {
            findings.raise(kWarning,
                           "plugin " + name + " started with warning " + std::to_string(code));
        }
        judgeProcess(plugin.value("process", nlohmann::json()), name, findings);
    }
}

void judgeExpected(const nlohmann::json& status, const std::vector<std::string>& expected,
                   tFindings& findings) {
    for (const std::string& name : expected) {
        std::string state = "not described";
        for (const nlohmann::json& plugin : status.at("plugins")) {
            if (plugin.at("name") == name) {
                state = plugin.at("state").get<std::string>();
                if (state == "started") {
                    break;
                }
            }
        }
        if (state != "started") {
            findings.raise(kCritical, "expected plugin " + oneLine(name) + " " +
                                          (state == "not described" ? state : "is " + state));
        }
    }
}

// Every line of the messages is something an administrator must act on.
// A plugin's failure has its own finding; the directory's lines of a failed
// reload are named by the reload's.
void judgeMessages(const nlohmann::json& status, tFindings& findings) {
    // Both are always written; a status put together by hand may leave them out.
    const nlohmann::json reload = status.value("reload", nlohmann::json());
    const bool reloadFailed = reload.is_object() && !reload.value("successful", true);
    if (reloadFailed) {
        findings.raise(kWarning, "last reload failed: " +
                                     oneLine(reload.at("failure").get<std::string>()) +
                                     " (the plugins run as before it)");
    }
    for (const nlohmann::json& message : status.value("messages", nlohmann::json::array())) {
        const std::string kind = message.at("kind").get<std::string>();
        // A plugin's process has its own finding, by its state now: a
        // plugin that was restarted and runs again is well.
        if ((kind == "pluginsDirectory" && reloadFailed) || kind == "pluginProcess") {
            continue;
        }
        if (kind == "descriptionParse" || kind == "descriptionUnsafe") {
            findings.raise(kWarning, "description file " + oneLine(message.value("path", "")) +
                                         (kind == "descriptionParse" ? " does not parse"
                                                                     : " is unsafe") +
                                         ": its plugin is not started");
        } else {
            findings.raise(kWarning, oneLine(message.at("text").get<std::string>()));
        }
    }
}

time_t parseIsoTime(const std::string& text) {
    struct tm utc {};
    if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc) == nullptr) {
        return 0;
    }
    return timegm(&utc);
}

void judgeService(const nlohmann::json& status, const tServiceAlive& alive,
                  const tHealthOptions& options, tFindings& findings) {
    const std::string phase = status.at("phase").get<std::string>();
    if (phase == "stopped") {
        findings.raise(kCritical, "the service has stopped");
    } else if (!alive(status.at("pid").get<pid_t>())) {
        findings.raise(kCritical, "the service is not running (status says " + phase + ")");
    } else if (phase == "starting") {
        findings.raise(kWarning, "the service is starting");
    } else if (phase == "stopping") {
        // The status is written as the stop begins and not again until it
        // ends: its age is how long the stop has run.
        const long runningS =
            static_cast<long>(options.now() - parseIsoTime(status.at("updated").get<std::string>()));
        if (runningS > options.stopLimitS) {
            findings.raise(kCritical, "the service has been stopping for " +
                                          std::to_string(runningS) + " s, longer than " +
                                          std::to_string(options.stopLimitS) + " s");
        } else {
            findings.raise(kWarning, "the service is stopping");
        }
    }
}

tHealth judge(const nlohmann::json& status, const tServiceAlive& alive,
              const tHealthOptions& options) {
    if (!status.is_object() || !status.contains("schema") ||
        status.at("schema") != kStatusJsonSchema) {
        return verdictLine(
            kUnknown, "the status has another schema than " + std::to_string(kStatusJsonSchema));
    }
    tFindings findings;
    judgeService(status, alive, options, findings);
    judgeExpected(status, options.expected, findings);
    judgePlugins(status, findings);
    judgeMessages(status, findings);
    const nlohmann::json& counts = status.at("counts");
    const std::string started = std::to_string(counts.at("started").get<long long>());
    const std::string refused = std::to_string(counts.at("refused").get<long long>());
    const std::string failed = std::to_string(counts.at("failed").get<long long>());
    std::string text = findings.text();
    text += started + " started, " + refused + " refused, " + failed +
            " failed | started=" + started + " refused=" + refused + " failed=" + failed;
    return verdictLine(findings.verdict(), text);
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

tHealth checkHealth(const std::string& statusDirectory, const tServiceAlive& alive,
                    const tHealthOptions& options) {
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
        return judge(nlohmann::json::parse(text.str()), alive, options);
    } catch (const nlohmann::json::exception& error) {
        return verdictLine(kUnknown, path + " is no status of this service: " + error.what());
    }
}

}  // namespace nPluginCheck
