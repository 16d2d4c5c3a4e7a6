#include "zoqel/quarks/library.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>

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

// The loader maps a library's ELF header with its first segment, at the
// load bias: the program headers follow from it without a walk of every
// loaded object (which takes the loader's lock and costs a pass over
// thousands of libraries).
bool tSharedLibrary::mappedRange(uintptr_t& start, uintptr_t& end) const {
    link_map* map = nullptr;
    if (!loaded || handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 ||
        map == nullptr || map->l_addr == 0) {
        return false;
    }
    // The loader gives the object's base as a number; its ELF header lies there.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(map->l_addr);
    if (memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_phentsize != sizeof(ElfW(Phdr))) {
        return false;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* segments = reinterpret_cast<const ElfW(Phdr)*>(map->l_addr + header->e_phoff);
    uintptr_t lowest = UINTPTR_MAX;
    uintptr_t highest = 0;
    for (ElfW(Half) i = 0; i < header->e_phnum; ++i) {
        if (segments[i].p_type == PT_LOAD) {
            lowest = std::min<uintptr_t>(lowest, segments[i].p_vaddr);
            highest = std::max<uintptr_t>(highest, segments[i].p_vaddr + segments[i].p_memsz);
        }
    }
    if (highest <= lowest) {
        return false;
    }
    start = map->l_addr + lowest;
    end = map->l_addr + highest;
    return true;
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
