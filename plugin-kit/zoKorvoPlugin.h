/*
 * zoKorvoPlugin.h: the contract between zoKorvoRemoteService and a plugin
 * library. Include it from the C or C++ sources of a plugin; it needs nothing
 * but <stdint.h> and declares no symbol of its own.
 *
 * A plugin is a shared library with up to three entry points, exported with C
 * linkage under the names its description file gives for "Initialize", "Stop"
 * and "Cleanup". None takes an argument:
 *
 *   Initialize  returns int32_t: negative = failure (the library is closed at
 *               once, Stop and Cleanup are never called, and plugins that
 *               depend on this one are refused); 0 = success; positive =
 *               success with a warning, shown as the plugin's code in the
 *               status file.
 *   Stop        returns nothing; called once when the service stops, in the
 *               reverse of the start order, before any Cleanup.
 *   Cleanup     returns nothing; called once after every Stop, in the same
 *               reverse order, just before the library is closed.
 *
 * A name left empty in the description file gets the service's own do-nothing
 * entry point; a name that the library does not export fails the load with
 * -52005 and none of the plugin's entry points is called. Opening the library
 * runs its constructors (static C++ objects, __attribute__((constructor)))
 * and closing it runs its destructors, also for a plugin that never starts:
 * keep work that can fail, block or start threads in Initialize.
 *
 * Before loading, the service tests "Requires" against the available
 * capabilities (-52002), then that every name in "Dependencies" is the "Name"
 * of a plugin that started earlier (-52006). A name listed twice never
 * matches; two plugins with the same "Name" both start.
 *
 * Threads: the service calls every entry point on its main thread, one at a
 * time; an entry point that blocks holds the whole service up, so long-running
 * work belongs on a thread of the plugin's own that Stop ends.
 * Failures: through Initialize's result, which may be any negative value
 * (the service's own codes included). A C++ entry point should let no
 * exception out: one that does gives the step the code -52003 (-52000 for
 * std::bad_alloc), and one that is not a standard exception also puts
 * "Unknown exception from plugin: <Name>" into the status file; from
 * Initialize, the library is then closed without Stop or Cleanup. The
 * service goes on with the other plugins. zoKorvoPlugin::guardedInitialize
 * and zoKorvoPlugin::guarded below turn an exception into a failure code of
 * the plugin's own or swallow it. An exception that leaves a thread of the
 * plugin's own, and any crash, ends the whole service with every plugin.
 *
 * Signals: the service handles SIGINT and SIGTERM itself, without
 * SA_RESTART, so a system call blocking in a plugin's thread may fail with
 * EINTR when one arrives; retry it, or block the two signals with
 * pthread_sigmask in the threads the plugin creates. Never install a handler
 * for them, wait for them (sigwait, signalfd), or block them in every thread
 * or in the thread that calls the entry points: the service would miss its
 * stop, or not end by the signal.
 *
 * The service opens each library with dlopen(RTLD_NOW | RTLD_GLOBAL): every
 * undefined symbol must resolve at load time, and the library's exported
 * symbols become visible to the libraries loaded after it. Build plugins with
 * -fvisibility=hidden and export only the entry points (and what dependent
 * plugins are meant to use), with names that carry the plugin's own prefix.
 */
#ifndef ZO_KORVO_PLUGIN_H
#define ZO_KORVO_PLUGIN_H

#include <stdint.h>

#define ZO_KORVO_PLUGIN_KIT_VERSION 1

#ifdef __cplusplus
#define ZO_KORVO_PLUGIN_LINKAGE extern "C"
#else
#define ZO_KORVO_PLUGIN_LINKAGE
#endif

/* Exports a function with C linkage and default visibility, also when the
 * library is built with -fvisibility=hidden. */
#define ZO_KORVO_PLUGIN_EXPORT ZO_KORVO_PLUGIN_LINKAGE __attribute__((visibility("default")))

/* The types of the three entry points. */
typedef int32_t zoKorvoInitializeEntry(void);
typedef void zoKorvoStopEntry(void);
typedef void zoKorvoCleanupEntry(void);

/* Begin the definition of an entry point with the exact signature the
 * service calls, for example:
 *     ZO_KORVO_PLUGIN_INITIALIZE(clockInitialize) { ...; return 0; }
 * and write its name in the description file: Initialize=clockInitialize. */
#define ZO_KORVO_PLUGIN_INITIALIZE(name) ZO_KORVO_PLUGIN_EXPORT int32_t name(void)
#define ZO_KORVO_PLUGIN_STOP(name) ZO_KORVO_PLUGIN_EXPORT void name(void)
#define ZO_KORVO_PLUGIN_CLEANUP(name) ZO_KORVO_PLUGIN_EXPORT void name(void)

/* Initialize results with a meaning of their own. Any negative value is a
 * failure and any positive one a warning; the plugin chooses its codes. */
#define ZO_KORVO_PLUGIN_SUCCESS 0
#define ZO_KORVO_PLUGIN_FAILURE (-1)

#ifdef __cplusplus
namespace zoKorvoPlugin {

/* Runs an Initialize body and returns its result; an exception that leaves
 * the body becomes `failureCode`, which must be negative. */
template <typename Body>
int32_t guardedInitialize(Body body, int32_t failureCode = ZO_KORVO_PLUGIN_FAILURE) noexcept {
    try {
        return body();
    } catch (...) {
        return failureCode;
    }
}

/* Runs a Stop or Cleanup body; an exception that leaves it is dropped here,
 * where the service would record the step as failed with -52003. */
template <typename Body>
void guarded(Body body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace zoKorvoPlugin
#endif

#endif /* ZO_KORVO_PLUGIN_H */
