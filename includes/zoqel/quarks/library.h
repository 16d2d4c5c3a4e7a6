// tSharedLibrary, the platform layer's thin wrapper around the dynamic loader:
// open a shared library, look a symbol up in it, close it again.
//
// The wrapper holds the loader's handle but does not own the library in the
// RAII sense: copying or destroying it closes nothing, and only close()
// unloads. A copy therefore shares the same open library.
//
// Failures: each operation reports into a zoqel::ThrowingStatusRecord of its
// own, which raises zoerr::Exception with code -52005 and the detail "file",
// "line", "component" when the operation ends. The loader's own error text
// is never part of the status; a caller that wants to show it to a person
// passes `loaderText`, which receives it before the raise. After a failed
// close the handle is forgotten, so no cleared handle is ever handed to the
// loader again.
// Not thread-safe: one thread uses a wrapper at a time.
#ifndef ZOQEL_QUARKS_LIBRARY_H
#define ZOQEL_QUARKS_LIBRARY_H

#include <cstdint>
#include <string>

namespace zoqel {

class tSharedLibrary {
  public:
    // Opens `path` with every symbol bound at once and made available to
    // libraries loaded later. An empty or null path fails without asking the
    // loader, which would hand back the program itself. On a failure a
    // non-null `loaderText` receives why, in the loader's words.
    void open(const char* path, std::string* loaderText = nullptr);

    // The address of `name` in the open library; fails (and yields null) when
    // no library is open or the symbol is missing or null, and then fills a
    // non-null `loaderText` as open() does.
    void* getSymbol(const char* name, std::string* loaderText = nullptr);

    // Closes the open library; does nothing when none is open.
    void close();

    // Drops the binding without closing anything (a copy may still own it).
    void forget();

    bool isLoaded() const { return loaded; }

    // The file the loader mapped for the open library (a bare name resolved
    // to where the loader found it), valid while it stays open; "" when none
    // is open. Allocates nothing.
    const char* loadedFileName() const;

    // The addresses the open library's loadable segments span, [start, end);
    // false when none is open or its program headers cannot be read.
    // Allocates nothing.
    bool mappedRange(uintptr_t& start, uintptr_t& end) const;
    // True when the loader still holds a library it knows by `path`, so that
    // opening `path` now would hand back that library instead of reading the
    // file again. Opens and maps nothing.
    static bool isHeldByLoader(const char* path);

  private:
    bool loaded = false;
    void* handle = nullptr;
};

}  // namespace zoqel

#endif  // ZOQEL_QUARKS_LIBRARY_H
