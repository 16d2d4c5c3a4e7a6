#include "plugins/tPluginLibrary.h"

#include <string>

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

void tPluginLibrary::load(const tPluginDescription& description, tPathSafety& pathSafety) {
    tFileIdentity judged;
    if (!pathSafety.checkLibrary(description.path, judged).safe()) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    library.open(pathSafety.loaderName().c_str());
    // The file judged is the one the loader maps: only a trusted owner could
    // have replaced it in between. A name the process had loaded already
    // was not judged, and is looked up where the loader found it.
    identity = judged.known ? judged : identifyFile(library.loadedFileName());
    const InitializeEntry initializing =
        bindEntry(library, description.initializeSymbol, initializeNothing);
    const StopEntry stopping = bindEntry(library, description.stopSymbol, doNothing);
    const CleanupEntry cleaning = bindEntry(library, description.cleanupSymbol, doNothing);
    initializeEntry = initializing;
    stopEntry = stopping;
    cleanupEntry = cleaning;
}

int32_t tPluginLibrary::initialize() {
    const int32_t result = initializeEntry();
    if (result < 0) {
        // A plugin that failed to initialise has nothing to stop or clean up.
        discard();
    }
    return result;
}

void tPluginLibrary::stop() {
    stopEntry();
}

void tPluginLibrary::cleanup() {
    cleanupEntry();
}

void tPluginLibrary::unload() {
    cleanupEntry();
    library.close();
    restoreDefaults();
}

void tPluginLibrary::discard() {
    stopEntry = doNothing;
    cleanupEntry = doNothing;
    unload();
}
