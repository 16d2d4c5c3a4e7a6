// nPluginFaults: the last word of a service that a plugin ends, by exit(),
// quick_exit() or a crash, so that the administrator learns which plugin it was.
//
// A plugin's code runs in the service's process and can always end it; what
// it must not do is end it silently, or lead the exit handlers into tearing
// down the service's objects on a plugin's thread. So:
// - exit() and quick_exit() run a hook of the service's before any handler
//   registered earlier. Called by a plugin (on the main thread inside a step,
//   or on any other thread), the hook names the plugin and its status in one
//   line, has the service report it (the `tFaultReporter` the service gave),
//   or writes the line as a crash does when the service cannot take it within
//   seconds, and ends the process with _exit(kPluginExitStatus). A plugin's
//   _exit() runs nothing of the service's and cannot be reported.
// - SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (std::terminate() included)
//   run a handler, on an alternate stack on the main thread, that does only
//   what is safe in a signal handler: it finds the plugin whose library holds
//   the faulting instruction (or a caller of it), else the one whose step the
//   main thread runs, inserts a line into the status file's messages, sends a
//   journal record at priority 2 with PLUGIN=, and raises the signal again
//   under its default action, so that the core dump and the end by that
//   signal stay.
// The libraries' addresses and the current step are kept in fixed storage,
// written by the main thread as it runs the steps and read by the handlers.
//
// Threads: install(), the step and library calls and orderlyEnd() from the
// main thread; the hooks run on whichever thread ends the process. Nothing
// here throws.
#ifndef ZOKORVO_SERVICE_PLUGINFAULTS_H
#define ZOKORVO_SERVICE_PLUGINFAULTS_H

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugins/PluginStep.h"

class tDatagramSocket;

// The exit status of a service that a plugin ended with exit() or
// quick_exit(), whatever status the plugin gave: never 0, so that the service
// manager sees a failure (and Restart=on-failure restarts the service).
constexpr int kPluginExitStatus = 70;

// Reports a plugin's exit through the service's own reports. `plugin` is the
// plugin's name ("" when none could be found), `line` the message line.
// Returns false when it could not take the report within `waitMs`.
class tFaultReporter {
  public:
    virtual ~tFaultReporter() = default;
    virtual bool reportPluginExit(const std::string& plugin, const std::string& line,
                                  unsigned waitMs) noexcept = 0;
};

namespace nPluginFaults {

// Installs the exit hooks and the crash handlers. `statusPath` is the status
// file, `statusTemporaryPath` the temporary file its writes go through.
void install(const std::string& statusPath, const std::string& statusTemporaryPath);
// Exit hooks registered later run first: the service registers once more
// after the libraries it uses have registered theirs.
void registerExitHooksAgain();
void setReporter(tFaultReporter* reporter);
// The journal that crash records go to (its address and socket); null for none.
void setJournal(tDatagramSocket* socket);
// Where the status file's messages end in the file last written; the crash
// handler inserts its line there.
void statusWritten(size_t messagesEnd);

// The step that the main thread runs now; `name` must stay in place until
// stepEnded() or recordsMoving().
void stepBegins(const std::string& name, tPluginStep step);
void stepEnded();
// Records are about to move: the name of the step is no longer where it was.
void recordsMoving();
// The library of plugin `name` occupies [start, end) from now on, until
// libraryUnmapped(start).
void libraryMapped(const std::string& name, uintptr_t start, uintptr_t end);
void libraryUnmapped(uintptr_t start);

// From now on an exit is the service's own: the hooks let it pass.
void orderlyEnd();

// The line for a plugin that called exit(status) (or quick_exit(), without a
// status, when `quick`) in `step`, or, without one, from a thread of its own.
std::string exitLine(const char* plugin, bool quick, int status, const tPluginStep* step);
// The line for a crash by `signal`: `where` is "in its own code", "in code it
// called" or "during its <Step>"; without a plugin, the service crashed.
// Writes at most `size` bytes with the terminating NUL; no allocation.
size_t crashLine(char* out, size_t size, const char* plugin, int signal, const char* where);

}  // namespace nPluginFaults

#endif  // ZOKORVO_SERVICE_PLUGINFAULTS_H
