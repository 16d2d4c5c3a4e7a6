#include "zoqel/quarks/library.h"

#include <dlfcn.h>
#include <link.h>

#include "zoerr/Status.h"
#include "zoqel/StatusRecord.h"

namespace zoqel {
namespace {

// The failing call's own record, made only where it fails: a record that
// stays clean raises nothing, and making one asks the C++ runtime for the
// thread's count of propagating exceptions, which is not free at every call.
// Raises at the end of this function's scope, as at the end of the call's.
void raiseLoaderFailure(int line) {
    ThrowingStatusRecord status;
    status.setCode(zoerr::kInvalidParameter, zoerr::kComponentName, __FILE__, line);
}

// Takes the loader's pending error, which clears it so that it cannot be
// mistaken for a later one, and hands it to a caller that asked for it; the
// status never carries it.
void takeLoaderText(std::string* loaderText, const char* otherwise) {
    const char* pending = dlerror();
    if (loaderText != nullptr) {
        *loaderText = pending != nullptr ? pending : otherwise;
    }
}

void setText(std::string* loaderText, const char* text) {
    if (loaderText != nullptr) {
        *loaderText = text;
    }
}

}  // namespace

void tSharedLibrary::open(const char* path, std::string* loaderText) {
    if (path == nullptr || path[0] == '\0') {
        setText(loaderText, "no library path given");
        raiseLoaderFailure(__LINE__);
        return;
    }
    handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) {
        takeLoaderText(loaderText, "the loader gave no reason");
        raiseLoaderFailure(__LINE__);
        return;
    }
    loaded = true;
}

void* tSharedLibrary::getSymbol(const char* name, std::string* loaderText) {
    if (!loaded || handle == nullptr) {
        setText(loaderText, "no library is open");
        raiseLoaderFailure(__LINE__);
        return nullptr;
    }
    if (loaderText != nullptr) {
        (void)dlerror();  // so that a text after dlsym is dlsym's own
    }
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        // No pending text means the symbol exists with the value null.
        takeLoaderText(loaderText, "the symbol's value is null");
        raiseLoaderFailure(__LINE__);
    }
    return address;
}

void tSharedLibrary::close() {
    if (!loaded) {
        return;
    }
    // A handle forgotten after a failed close is never handed to the loader:
    // there is nothing left that this wrapper could close.
    void* const closing = handle;
    handle = nullptr;
    if (closing == nullptr || dlclose(closing) == 0) {
        loaded = false;
        return;
    }
    raiseLoaderFailure(__LINE__);
}

const char* tSharedLibrary::loadedFileName() const {
    link_map* map = nullptr;
    if (!loaded || handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 ||
        map == nullptr || map->l_name == nullptr) {
        return "";
    }
    return map->l_name;
}

bool tSharedLibrary::isHeldByLoader(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    void* const held = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
    if (held == nullptr) {
        return false;
    }
    // RTLD_NOLOAD took a reference of its own: given back at once.
    dlclose(held);
    return true;
}

void tSharedLibrary::forget() {
    loaded = false;
    handle = nullptr;
}

}  // namespace zoqel
