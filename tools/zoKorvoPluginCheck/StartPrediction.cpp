#include "StartPrediction.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>

#include "system/DeploymentPermission.h"
#include "safety/PathSafety.h"
#include "plugins/IsolatedPlugin.h"
#include "plugins/PluginOrder.h"
#include "plugins/PluginProcessSettings.h"
#include "plugins/StartedNames.h"
#include "SignalWatch.h"
#include "Wording.h"
#include "plugins/tPluginManager.h"
#include "safety/LoaderJudgeLink.h"
#include "safety/LoaderTokens.h"
#include "zoerr/Status.h"
#include "zoqel/quarks/library.h"

namespace nPluginCheck {
namespace {

bool sameDescription(const tPluginDescription& a, const tPluginDescription& b) {
    return std::tie(a.name, a.dependencies, a.requires, a.path, a.initializeSymbol, a.stopSymbol,
                    a.cleanupSymbol) == std::tie(b.name, b.dependencies, b.requires, b.path,
                                                 b.initializeSymbol, b.stopSymbol, b.cleanupSymbol);
}

std::string admissionReason(uint32_t requires, uint32_t capabilityMask) {
    if (requires == 0) {
        return "\"Requires\" reads as 0, which no capability mask admits";
    }
    std::string reason = "it requires " + hexadecimal(requires) +
                         ", which shares no bit with the capability mask " +
                         hexadecimal(capabilityMask);
    const uint32_t deployment = zoKorvoRemoteService::kDeploymentCapability;
    if ((requires & deployment) != 0 && (capabilityMask & deployment) == 0) {
        reason += ": remote deployment is not allowed";
    }
    return reason;
}

std::string checkerDirectory() {
    boost::system::error_code error;
    const boost::filesystem::path directory = boost::filesystem::current_path(error);
    return error ? std::string("(unknown)") : directory.string();
}

// The loader resolves a relative path against the working directory and
// searches LD_LIBRARY_PATH for a bare name, both the checker's here; the
// service runs from / under the service manager and with -d, with the
// environment its unit gives it.
std::string loaderEnvironmentNote(const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return "";
    }
    const std::string difference =
        ", as this checker's user; the service runs from / (under the service manager and "
        "with -d) with its own environment and user, and may open another library or none";
    if (path.find('/') == std::string::npos) {
        return "the bare name " + quoted(path) +
               " was looked up in this checker's environment (its LD_LIBRARY_PATH)" + difference;
    }
    return "the relative path " + quoted(path) +
           " was resolved against this checker's working directory " + checkerDirectory() +
           difference;
}

// "library /opt/zo/lib/libx.so is owned by uid 1000", or with the directory
// at fault after the library's path.
std::string unsafeLibraryReason(const std::string& path, const tPathVerdict& verdict) {
    return "library " + (verdict.path == path ? "" : path + ": ") + verdict.reason();
}

void closeQuietly(zoqel::tSharedLibrary& library) {
    try {
        library.close();
    } catch (const zoerr::ExceptionBase&) {
        // A library that cannot be closed changes nothing in the prediction.
    }
}

// Looks up every entry point the description names, as tPluginLibrary::load
// does (an empty name binds the service's default and is not looked up), but
// goes on after a failure so that every missing name is reported.
std::vector<tLoadFailure> lookUpEntryPoints(zoqel::tSharedLibrary& library,
                                            const tPluginDescription& description) {
    const std::pair<const char*, const std::string*> entryPoints[] = {
        {"Initialize", &description.initializeSymbol},
        {"Stop", &description.stopSymbol},
        {"Cleanup", &description.cleanupSymbol},
    };
    std::vector<tLoadFailure> failures;
    for (const auto& [entryPoint, symbol] : entryPoints) {
        if (symbol->empty()) {
            continue;
        }
        std::string loaderText;
        try {
            library.getSymbol(symbol->c_str(), &loaderText);
        } catch (const zoerr::ExceptionBase&) {
            failures.push_back(tLoadFailure{
                std::string(entryPoint) + " entry point " + quoted(*symbol), loaderText});
        }
    }
    return failures;
}

// One pass over the plugins in start order, with the manager's own tests.
class tStartPass {
  public:
    // `failedToOpen`: plugins whose opening an earlier child did not survive,
    // with why; they are not opened again. `opening` is told before each open.
    tStartPass(uint32_t mask, bool loadLibraries,
               const std::map<size_t, std::string>* failedToOpen = nullptr,
               std::function<void(size_t)> opening = {})
        : capabilityMask(mask),
          load(loadLibraries),
          openingFailed(failedToOpen),
          beforeOpening(std::move(opening)) {}
    ~tStartPass() {
        for (auto library = opened.rbegin(); library != opened.rend(); ++library) {
            closeQuietly(*library);
        }
    }
    tStartPass(const tStartPass&) = delete;
    tStartPass& operator=(const tStartPass&) = delete;

    std::vector<tStartPrediction> run(const std::vector<tPlacedDescription>& ordered) {
        std::vector<const tPluginDescription*> pass;
        for (const tPlacedDescription& placed : ordered) {
            pass.push_back(&placed.description);
        }
        tStartedNames startedNames(pass);
        tLoaderJudge::get().beginPass();
        for (size_t i = 0; i < ordered.size(); ++i) {
            predictions.push_back(predict(ordered, i, startedNames));
        }
        return predictions;
    }

  private:
    tStartPrediction predict(const std::vector<tPlacedDescription>& ordered, size_t index,
                             tStartedNames& startedNames) {
        tStartPrediction prediction;
        prediction.plugin = ordered[index];
        const tPluginDescription& description = prediction.plugin.description;
        if (!pluginAdmitted(description.requires, capabilityMask)) {
            refuse(prediction, zoerr::kFeatureUnsupported,
                   admissionReason(description.requires, capabilityMask));
        } else if (!startedNames.dependenciesStarted(index)) {
            refuse(prediction, zoerr::kResourceNotFound,
                   dependencyReason(ordered, index, startedNames));
        } else if (!admitProcess(prediction)) {
            // Refused before its process would be made.
        } else if (description.path.empty()) {
            failToLoad(prediction, "it has no \"Path\": there is no library to open");
        } else if (!judgeLibrary(prediction, description.path)) {
            // Never opened: the service would not open it either.
        } else if (load && openingFailed != nullptr && openingFailed->count(index) != 0) {
            prediction.loadFailures.push_back(
                tLoadFailure{"library " + quoted(description.path), openingFailed->at(index)});
            failToLoad(prediction, "opening its library ended the process that opened it");
        } else if (load) {
            if (beforeOpening) {
                beforeOpening(index);
            }
            openLibrary(prediction);
        }
        if (prediction.verdict == tStartVerdict::admitted) {
            startedNames.markStarted(index);
        }
        return prediction;
    }

    static void refuse(tStartPrediction& prediction, int32_t code, std::string reason) {
        prediction.verdict = tStartVerdict::refused;
        prediction.code = code;
        prediction.reason = std::move(reason);
    }

    // The keys of its own process as the service's manager takes them.
    static bool admitProcess(tStartPrediction& prediction) {
        const std::string why = processSettingsRefusal(prediction.plugin.description.process);
        if (!why.empty()) {
            refuse(prediction, kPluginProcessRefused, why);
        }
        return why.empty();
    }

    static void failToLoad(tStartPrediction& prediction, std::string reason) {
        prediction.verdict = tStartVerdict::loadFailed;
        prediction.code = zoerr::kInvalidParameter;
        prediction.reason = std::move(reason);
    }

    // The verdict of the loader's judge on the library's own file, named
    // with a '/' (a bare name is the loader's search, judged when loaded,
    // as is everything the library needs); false, with the prediction made,
    // when the service would not start it.
    bool judgeLibrary(tStartPrediction& prediction, const std::string& path) {
        std::string expanded = path;
        if (path.find('/') == std::string::npos ||
            (hasLoaderToken(path) && !expandLoaderTokens(path, loaderTokensFor(""), expanded))) {
            return true;
        }
        bool exists = true;
        mode_t type = 0;
        const tPathVerdict verdict = pathSafety.check(expanded, exists, type);
        if (!verdict.safe()) {
            refuse(prediction, zoerr::kInsufficientPermissions,
                   unsafeLibraryReason(expanded, verdict));
        } else if (exists && type != S_IFREG) {
            failToLoad(prediction, "its library " + nPluginCheck::quoted(expanded) + " is no regular file");
        }
        return verdict.safe() && (!exists || type == S_IFREG);
    }

    // Opens the library as the service does, under the loader's judge, and
    // keeps it open for the plugins after it; one that cannot be bound is
    // closed again at once.
    void openLibrary(tStartPrediction& prediction) {
        const tPluginDescription& description = prediction.plugin.description;
        prediction.environmentNote = loaderEnvironmentNote(description.path);
        tLoaderJudge& judge = tLoaderJudge::get();
        if (!judge.active()) {
            refuse(prediction, zoerr::kInsufficientPermissions, judge.inactiveReason());
            return;
        }
        zoqel::tSharedLibrary library;
        std::string loaderText;
        judge.beginLoad();
        try {
            library.open(description.path.c_str(), &loaderText);
            (void)judge.endLoad();
            prediction.loadFailures = lookUpEntryPoints(library, description);
        } catch (const zoerr::ExceptionBase&) {
            const tLoaderRefusal refusal = judge.endLoad();
            if (refusal.kind == tLoaderRefusal::tKind::unsafe) {
                refuse(prediction, zoerr::kInsufficientPermissions, "library " + refusal.reason);
                return;
            }
            prediction.loadFailures.push_back(
                tLoadFailure{"library " + quoted(description.path), loaderText});
        }
        if (prediction.loadFailures.empty()) {
            opened.push_back(library);
            return;
        }
        failToLoad(prediction, library.isLoaded() ? "an entry point it names is missing"
                                                  : "its library cannot be opened");
        closeQuietly(library);
    }

    // Which dependencies had not started, and why.
    std::string dependencyReason(const std::vector<tPlacedDescription>& ordered, size_t index,
                                 const tStartedNames& startedNames) const {
        const tPluginDescription& description = ordered[index].description;
        const std::vector<std::string>& dependencies = description.dependencies;
        std::string reason;
        for (size_t i = 0; i < dependencies.size(); ++i) {
            if (startedNames.dependencyStarted(index, i)) {
                continue;
            }
            const bool listedTwice = i > 0 && dependencies[i] == dependencies[i - 1];
            reason += reason.empty() ? "" : "; ";
            reason +=
                quoted(dependencies[i]) + " " +
                (listedTwice ? "is listed twice" : whyNotStarted(ordered, index, dependencies[i]));
        }
        return reason;
    }

    std::string whyNotStarted(const std::vector<tPlacedDescription>& ordered, size_t index,
                              const std::string& dependency) const {
        if (dependency == ordered[index].description.name) {
            return "is the plugin itself";
        }
        for (const tStartPrediction& earlier : predictions) {
            if (earlier.plugin.description.name == dependency) {
                return outcomeOf(earlier);
            }
        }
        for (size_t later = index + 1; later < ordered.size(); ++later) {
            if (ordered[later].description.name == dependency) {
                return "comes later in the start order";
            }
        }
        return "is described by no accepted \".ini\" file";
    }

    const uint32_t capabilityMask;
    const bool load;
    const std::map<size_t, std::string>* const openingFailed;
    const std::function<void(size_t)> beforeOpening;
    // Root's verdicts on library paths, whoever runs the checker.
    tPathSafety pathSafety{tPathSafety::tTrust::rootAlone};
    std::vector<zoqel::tSharedLibrary> opened;
    std::vector<tStartPrediction> predictions;
};

}  // namespace

std::vector<tPlacedDescription> inStartOrder(const std::vector<tPlacedDescription>& plugins) {
    std::vector<tPluginDescription> descriptions;
    for (const tPlacedDescription& placed : plugins) {
        descriptions.push_back(placed.description);
    }
    nPluginData::orderDescriptions(descriptions);
    // The order keeps equal names in their given order, so the first unused
    // equal description is the one that moved there.
    std::vector<bool> used(plugins.size(), false);
    std::vector<tPlacedDescription> ordered;
    for (const tPluginDescription& description : descriptions) {
        for (size_t i = 0; i < plugins.size(); ++i) {
            if (!used[i] && sameDescription(plugins[i].description, description)) {
                used[i] = true;
                ordered.push_back(plugins[i]);
                break;
            }
        }
    }
    return ordered;
}

std::vector<tStartPrediction> predictStartPass(const std::vector<tPlacedDescription>& ordered,
                                               uint32_t capabilityMask, bool loadLibraries) {
    tStartPass pass(capabilityMask, loadLibraries);
    return pass.run(ordered);
}

namespace {

// What a child that opens the libraries tells its parent, one line each:
// "opening <index>" before each open, and "result <JSON>" at the end.
constexpr char kOpening[] = "opening ";
constexpr char kResult[] = "result ";

using Json = nlohmann::json;

Json predictionsJson(const std::vector<tStartPrediction>& predictions) {
    Json all = Json::array();
    for (const tStartPrediction& prediction : predictions) {
        Json failures = Json::array();
        for (const tLoadFailure& failure : prediction.loadFailures) {
            failures.push_back({failure.what, failure.loaderText});
        }
        all.push_back({static_cast<int>(prediction.verdict), prediction.code, prediction.reason,
                       failures, prediction.environmentNote});
    }
    return all;
}

std::vector<tStartPrediction> predictionsFrom(const Json& all,
                                              const std::vector<tPlacedDescription>& ordered) {
    std::vector<tStartPrediction> predictions;
    for (size_t i = 0; i < ordered.size() && i < all.size(); ++i) {
        tStartPrediction prediction;
        prediction.plugin = ordered[i];
        prediction.verdict = static_cast<tStartVerdict>(all[i][0].get<int>());
        prediction.code = all[i][1].get<int32_t>();
        prediction.reason = all[i][2].get<std::string>();
        for (const Json& failure : all[i][3]) {
            prediction.loadFailures.push_back({failure[0], failure[1]});
        }
        prediction.environmentNote = all[i][4].get<std::string>();
        predictions.push_back(std::move(prediction));
    }
    return predictions;
}

void writeLine(int out, const std::string& line) {
    const std::string text = line + "\n";
    // One write per line, small enough to reach the parent whole.
    (void)!write(out, text.data(), text.size());
}

// The child: runs the pass, opening libraries, and ends without closing them,
// so that no destructor of a plugin's runs after the report is out.
[[noreturn]] void openInChild(int out, const std::vector<tPlacedDescription>& ordered,
                              uint32_t capabilityMask,
                              const std::map<size_t, std::string>& failedToOpen) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // What a library prints goes where the checker's progress goes.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    try {
        auto* pass = new tStartPass(capabilityMask, true, &failedToOpen, [out](size_t index) {
            writeLine(out, kOpening + std::to_string(index));
        });
        writeLine(out, kResult + predictionsJson(pass->run(ordered)).dump());
    } catch (...) {
        // No memory: the parent sees no result.
    }
    fflush(nullptr);
    _exit(0);
}

// How a child that opened libraries ended.
struct tOpeningEnd {
    bool complete = false;
    std::string result;          // the JSON of the predictions
    long opening = -1;           // the plugin whose library was being opened; -1: none
    std::string whyItDidNotEnd;  // for that plugin
};

std::string howItEnded(int status, double timeoutSeconds, bool timedOut) {
    std::ostringstream text;
    if (timedOut) {
        text << "opening it did not end within " << timeoutSeconds
             << " s: its constructors (or the loader's work) hang, and would hang the "
                "service's start";
    } else if (WIFSIGNALED(status)) {
        text << "opening it killed the checker's child process with signal "
             << signalName(WTERMSIG(status)) << " (" << strsignal(WTERMSIG(status))
             << "): its constructors (or the loader's work) crash, and would crash the service";
    } else {
        text << "opening it ended the checker's child process with exit status "
             << WEXITSTATUS(status)
             << ": a constructor ends the process, and would end the service";
    }
    return text.str();
}

// Reads the child's lines until it ends, or until one library has been
// opening for `timeoutSeconds`, when the child is killed.
tOpeningEnd watchOpening(int in, pid_t child, double timeoutSeconds) {
    tOpeningEnd end;
    std::string pending;
    bool timedOut = false;
    for (;;) {
        pollfd readable = {in, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(timeoutSeconds * 1000));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        char buffer[4096];
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(got));
        for (size_t lineEnd; (lineEnd = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, lineEnd);
            pending.erase(0, lineEnd + 1);
            if (line.compare(0, strlen(kOpening), kOpening) == 0) {
                end.opening = std::atol(line.c_str() + strlen(kOpening));
            } else if (line.compare(0, strlen(kResult), kResult) == 0) {
                end.result = line.substr(strlen(kResult));
                end.complete = true;
            }
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!end.complete) {
        end.whyItDidNotEnd = howItEnded(status, timeoutSeconds, timedOut);
    }
    return end;
}

}  // namespace

std::vector<tStartPrediction> predictStartPassOpeningInChildren(
    const std::vector<tPlacedDescription>& ordered, uint32_t capabilityMask,
    double timeoutSeconds) {
    std::map<size_t, std::string> failedToOpen;
    for (;;) {
        int channel[2];
        if (pipe2(channel, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        fflush(nullptr);
        const pid_t child = fork();
        if (child < 0) {
            close(channel[0]);
            close(channel[1]);
            throw std::system_error(errno, std::generic_category(), "fork");
        }
        if (child == 0) {
            close(channel[0]);
            openInChild(channel[1], ordered, capabilityMask, failedToOpen);
        }
        close(channel[1]);
        const tOpeningEnd end = watchOpening(channel[0], child, timeoutSeconds);
        close(channel[0]);
        if (end.complete) {
            return predictionsFrom(Json::parse(end.result), ordered);
        }
        if (end.opening < 0 || failedToOpen.count(static_cast<size_t>(end.opening)) != 0) {
            throw std::runtime_error(
                "the process that opens the libraries ended before any "
                "library: " +
                end.whyItDidNotEnd);
        }
        failedToOpen[static_cast<size_t>(end.opening)] = end.whyItDidNotEnd;
    }
}

std::string outcomeOf(const tStartPrediction& prediction) {
    switch (prediction.verdict) {
        case tStartVerdict::refused:
            return "is refused (" + std::to_string(prediction.code) + ")";
        case tStartVerdict::loadFailed:
            return "fails to load (" + std::to_string(prediction.code) + ")";
        default:
            return "is admitted";
    }
}

}  // namespace nPluginCheck
