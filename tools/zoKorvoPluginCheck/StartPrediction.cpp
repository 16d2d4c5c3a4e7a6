#include "StartPrediction.h"

#include <boost/filesystem/operations.hpp>
#include <string>
#include <tuple>
#include <utility>

#include "DeploymentPermission.h"
#include "PathSafety.h"
#include "PluginOrder.h"
#include "StartedNames.h"
#include "Wording.h"
#include "safety/LoaderJudgeLink.h"
#include "safety/LoaderTokens.h"
#include "tPluginManager.h"
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
    tStartPass(uint32_t mask, bool loadLibraries) : capabilityMask(mask), load(loadLibraries) {}
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
        } else if (description.path.empty()) {
            failToLoad(prediction, "it has no \"Path\": there is no library to open");
        } else if (!judgeLibrary(prediction, description.path)) {
            // Never opened: the service would not open it either.
        } else if (load) {
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
            failToLoad(prediction, "its library " + quoted(expanded) + " is no regular file");
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
