// tIsolatedPlugin: what the plugin manager sees of a plugin that runs in a
// process of its own (Isolation=process): the same steps as a library in the
// service's process, answered over a channel by that process. The service's
// side of it lives in source/pluginprocess/, which hands the plugins room a
// factory at start-up (setIsolatedPluginFactory), so that this room never
// depends on how the process is made.
//
// Ownership: tPluginLibrary holds one through a shared pointer, as copies of
// a record share one open library. Failures: a step raises zoerr::Exception
// with the step's code: the plugin's own mapped code, or one of the codes
// below when its process ended or was killed; what the plugin threw that was
// no standard exception is raised as such a throw again (tForeignException),
// so that the manager's line for it stays the same.
// Not thread-safe: the run-cycle thread runs every step.
#ifndef ZOKORVO_ISOLATEDPLUGIN_H
#define ZOKORVO_ISOLATEDPLUGIN_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "plugins/tPluginDescription.h"

// The process of an isolated plugin ended by a signal during a step.
constexpr int32_t kPluginProcessSignaled = -52040;
// It exited (any status) during a step.
constexpr int32_t kPluginProcessExited = -52041;
// Its Stop or Cleanup ran past StopTimeoutSec=: the process was killed.
constexpr int32_t kPluginStepTimedOut = -52042;
// Its description's Isolation=, User=, Group=, Restart= or StopTimeoutSec=
// cannot be taken (an unknown value or user): refused before anything runs.
constexpr int32_t kPluginProcessRefused = -52043;

// Raised in the service for what an isolated plugin threw that was no
// standard exception: not derived from std::exception, as that throw was not.
struct tForeignException {};

class tIsolatedPlugin {
  public:
    virtual ~tIsolatedPlugin() = default;

    // Starts the process and has it open the library and bind its entry
    // points as the service would. A refusal by the loader's judge there
    // fills `refusal` and raises -52026, as in the service's process.
    virtual void load(const tPluginDescription& description, std::string& refusal) = 0;
    virtual int32_t initialize() = 0;
    // Do nothing once the process has ended.
    virtual void stop() = 0;
    virtual void cleanup() = 0;
    // Ends the process, whatever it does: the channel is closed, a process
    // that does not end at once is killed, and it is reaped. Never throws.
    virtual void end() noexcept = 0;

    // True once the process has ended, seen without waiting.
    virtual bool ended() = 0;
    // How it ended ("ended by SIGSEGV", "exited with status 3", "killed after
    // StopTimeoutSec=2"); empty while it runs.
    virtual const std::string& endText() const = 0;
    // The step its process ended in, when it ended in one: the step's name
    // ("Initialize"); empty when it ended between steps or runs.
    virtual const std::string& endedInStep() const = 0;
    virtual pid_t pid() const = 0;
    // The file the plugin's process mapped for the library.
    virtual const std::string& loadedFile() const = 0;
    // The user it runs as, by name or number as the description wrote it,
    // or "" for the service's own.
    virtual const std::string& user() const = 0;
};

using tIsolatedPluginFactory = std::unique_ptr<tIsolatedPlugin> (*)(const tPluginDescription&);

// The factory the service uses from now on; null (the default) fails every
// isolated plugin's load with -52005, as a program that hosts no plugin
// processes (the checker without --trial) must.
void setIsolatedPluginFactory(tIsolatedPluginFactory factory);
std::unique_ptr<tIsolatedPlugin> makeIsolatedPlugin(const tPluginDescription& description);

#endif  // ZOKORVO_ISOLATEDPLUGIN_H
