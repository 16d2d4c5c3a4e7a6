// tPluginLibrary: a plugin's shared library together with its three entry
// points, Initialize, Stop and Cleanup.
//
// Every entry point always points at something callable: the symbol bound
// from the open library, or a do-nothing default of the service's own (an
// Initialize default returns 0). So the plugin manager may call every entry
// point of every record, whether the plugin was loaded or not.
//
// Ownership: copying or destroying a tPluginLibrary opens and closes nothing;
// a copy shares the same open library. Libraries are opened by load() and
// closed only by unload(), discard(), or a failed initialize().
// Failures of the loader are raised as zoerr::Exception with code -52005
// (see zoqel/quarks/library.h). The loader's judge (safety/LoaderJudgeLink.h)
// refuses every file of the load that another user could change, before it
// is opened: the load is then raised with -52026 and `refusal` says which
// file and why. A plugin whose description asks for a process of its own
// (Isolation=process) is opened and run there instead (IsolatedPlugin.h):
// every operation below then goes to that process, and `library` stays
// closed. Not thread-safe: the run-cycle thread is the only user.
#ifndef ZOKORVO_TPLUGINLIBRARY_H
#define ZOKORVO_TPLUGINLIBRARY_H

#include <cstdint>

#include <memory>
#include <string>

#include "safety/FileIdentity.h"
#include "plugins/IsolatedPlugin.h"
#include "plugins/tPluginDescription.h"
#include "zoqel/quarks/library.h"

class tPluginLibrary {
  public:
    using InitializeEntry = int32_t (*)();
    using StopEntry = void (*)();
    using CleanupEntry = void (*)();

    tPluginLibrary();

    // The default entry points and no library; closes nothing.
    void reset();

    // Opens the description's path and binds the entry points it names, in
    // the order Initialize, Stop, Cleanup; an empty name binds the default.
    // When the loader's judge refuses a file of the load as unsafe, the load
    // fails before any code of it runs, not even a constructor.
    // The entry points change only when every lookup succeeded, so after a
    // failure the library may be open with the previous entry points; the
    // caller then discards it.
    void load(const tPluginDescription& description);

    // Calls Initialize and returns its result. A negative result closes the
    // library at once without calling the plugin's Stop or Cleanup.
    int32_t initialize();

    void stop();

    // Calls Cleanup alone; the caller closes the library (discard()).
    void cleanup();

    // Calls Cleanup, then closes the library. The defaults come back unless
    // the close failed, which is raised.
    void unload();

    // Closes the library without calling any of the plugin's entry points;
    // an isolated plugin's process is ended.
    void discard();

    // True while the library is open here or the plugin's process is held.
    bool running() const { return isolated != nullptr || library.isLoaded(); }
    // The file the loader mapped, here or in the plugin's process; "" when
    // none is open.
    const char* loadedFileName() const;

    zoqel::tSharedLibrary library;
    InitializeEntry initializeEntry;
    StopEntry stopEntry;
    CleanupEntry cleanupEntry;
    // The identity of the file the loader mapped, as load() found it right
    // after the open: a reload keeps the plugin only while the file there is
    // still this one (library.loadedFile() names it).
    tFileIdentity identity;
    // Why the last load was refused as unsafe; empty unless it was.
    std::string refusal;
    // The plugin's process, when it runs in one; shared by copies.
    std::shared_ptr<tIsolatedPlugin> isolated;

  private:
    // Opens `path` under the watch of the loader's judge.
    void open(const std::string& path);
    void restoreDefaults();
};

#endif  // ZOKORVO_TPLUGINLIBRARY_H
