#include "zoqel/quarks/library.h"

#include <dlfcn.h>

#include "zoerr/Status.h"
#include "zoqel/StatusRecord.h"

namespace zoqel {
namespace {

void recordLoaderFailure(StatusRecord& status, int line) {
    status.setCode(zoerr::kInvalidParameter, zoerr::kComponentName, __FILE__, line);
}

}  // namespace

void tSharedLibrary::open(const char* path) {
    ThrowingStatusRecord status;
    if (path == nullptr || path[0] == '\0') {
        recordLoaderFailure(status, __LINE__);
        return;
    }
    handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) {
        // Clears the loader's pending error so that it cannot be mistaken for
        // a later one; the text itself is not reported.
        (void)dlerror();
        recordLoaderFailure(status, __LINE__);
        return;
    }
    loaded = true;
}

void* tSharedLibrary::getSymbol(const char* name) {
    ThrowingStatusRecord status;
    if (!loaded || handle == nullptr) {
        recordLoaderFailure(status, __LINE__);
        return nullptr;
    }
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        recordLoaderFailure(status, __LINE__);
    }
    return address;
}

void tSharedLibrary::close() {
    ThrowingStatusRecord status;
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
    recordLoaderFailure(status, __LINE__);
}

void tSharedLibrary::forget() {
    loaded = false;
    handle = nullptr;
}

}  // namespace zoqel
