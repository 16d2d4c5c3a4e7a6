#include "plugins/tPluginLibrary.h"

#include <string>

#include "safety/LoaderJudgeLink.h"
#include "zoerr/Status.h"

namespace {

int32_t initializeNothing() {
    return 0;
}

void doNothing() {}

// An empty name binds the default; any other is looked up and must exist.
template <typename Entry>
Entry bindEntry(zoqel::tSharedLibrary& library, const std::string& name, Entry fallback) {
    if (name.empty()) {
        return fallback;
    }
    return reinterpret_cast<Entry>(library.getSymbol(name.c_str()));
}

}  // namespace

tPluginLibrary::tPluginLibrary()
    : initializeEntry(initializeNothing), stopEntry(doNothing), cleanupEntry(doNothing) {}

void tPluginLibrary::reset() {
    restoreDefaults();
    library.forget();
}

void tPluginLibrary::restoreDefaults() {
    initializeEntry = initializeNothing;
    stopEntry = doNothing;
    cleanupEntry = doNothing;
}

void tPluginLibrary::open(const std::string& path) {
    refusal.clear();
    tLoaderJudge& judge = tLoaderJudge::get();
    if (!judge.active()) {
        refusal = judge.inactiveReason();
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    judge.beginLoad();
    try {
        library.open(path.c_str());
    } catch (const zoerr::ExceptionBase&) {
        tLoaderRefusal refused = judge.endLoad();
        if (refused.kind != tLoaderRefusal::tKind::unsafe) {
            throw;
        }
        refusal = std::move(refused.reason);
    }
    if (!refusal.empty()) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    // Whatever was refused in a load that succeeded was an optional filter,
    // left out as the loader leaves out one it cannot find.
    (void)judge.endLoad();
}

void tPluginLibrary::load(const tPluginDescription& description) {
    if (description.process.isolation == tIsolation::process) {
        refusal.clear();
        isolated = makeIsolatedPlugin(description);
        isolated->load(description, refusal);
        identity = identifyFile(isolated->loadedFile().c_str());
        return;
    }
    open(description.path);
    // Looked up where the loader found it: a reload keeps the plugin only
    // while this file is still there.
    identity = identifyFile(library.loadedFileName());
    const InitializeEntry initializing =
        bindEntry(library, description.initializeSymbol, initializeNothing);
    const StopEntry stopping = bindEntry(library, description.stopSymbol, doNothing);
    const CleanupEntry cleaning = bindEntry(library, description.cleanupSymbol, doNothing);
    initializeEntry = initializing;
    stopEntry = stopping;
    cleanupEntry = cleaning;
}

int32_t tPluginLibrary::initialize() {
    const int32_t result = isolated ? isolated->initialize() : initializeEntry();
    if (result < 0) {
        // A plugin that failed to initialise has nothing to stop or clean up.
        discard();
    }
    return result;
}

void tPluginLibrary::stop() {
    if (isolated) {
        isolated->stop();
        return;
    }
    stopEntry();
}

void tPluginLibrary::cleanup() {
    if (isolated) {
        isolated->cleanup();
        return;
    }
    cleanupEntry();
}

void tPluginLibrary::unload() {
    cleanup();
    discard();
}

void tPluginLibrary::discard() {
    stopEntry = doNothing;
    cleanupEntry = doNothing;
    if (isolated) {
        isolated->end();
        isolated.reset();
    }
    library.close();
    restoreDefaults();
}

const char* tPluginLibrary::loadedFileName() const {
    return isolated ? isolated->loadedFile().c_str() : library.loadedFileName();
}
