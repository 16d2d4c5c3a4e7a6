// tService: the one service object of the process and its run cycle.
//
// The process entry constructs it (construction writes the status file
// once), runs run() on the main thread, calls requestStop() from the stop
// thread when a signal arrives, and destroys it at the end (the destructor
// writes the status file a last time).
//
// Threads: requestStop() may be called from any thread, any number of times,
// before or during run(); a stop requested before run() waits is kept. Every
// other member runs on the main thread only.
// Failures: construction throws zoerr::Exception when the stop event cannot
// be built. run() turns discovery and description failures into lines of
// `messages`; any other exception leaves it.
#ifndef ZOKORVO_TSERVICE_H
#define ZOKORVO_TSERVICE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "StepBoardPoster.h"
#include "tPluginDescription.h"
#include "tPluginManager.h"
#include "zoqel/quarks/synchronization.h"

class tServiceNotifier;

class tService {
  public:
    tService();
    ~tService();
    tService(const tService&) = delete;
    tService& operator=(const tService&) = delete;

    void run();
    void requestStop();

    // Tells the service manager of readiness, progress and the stop through
    // `notifier` from now on; null, the default, tells nothing. The notifier
    // must live until it is replaced by null, and, since its thread reads the
    // plugins' names, end before the service is destroyed. Main thread only.
    void notifyThrough(tServiceNotifier* notifier);

  private:
    // Appends the description files' paths; false, with the line "Failed to
    // open plugins directory." in `messages`, when the directory cannot be
    // listed for any reason. A directory that is not safe is not listed, and
    // the line "Unsafe plugins directory: <path>" comes first.
    bool listDescriptionFiles(std::vector<std::string>& paths);
    // Parses each safe file from defaults; a file that is not safe (see
    // PathSafety.h) is not read, and one that is not safe or fails to parse
    // becomes a line of `messages` and contributes no description.
    std::vector<tPluginDescription> readDescriptions(const std::vector<std::string>& paths);

    // Clears kDeploymentCapability when the system configuration forbids
    // deployment; a failure to ask becomes a line of `messages` and leaves
    // the mask unchanged. Lets no standard exception out.
    void queryDeploymentPermission();

    // Builds the status report from the current state and replaces the
    // status file with it. Lets nothing out: a failed write is dropped and
    // the service carries on.
    void writeStatus();

    zoqel::tEvent stopEvent;
    // The plugin records in start order; empty until the start pass.
    tPluginManager pluginManager;
    // Capabilities available to plugins; the deployment query may clear
    // kDeploymentCapability.
    uint32_t capabilityMask;
    // Whole milliseconds from the start of run() to the end of the
    // deployment query; 0 means not measured.
    uint64_t initTimeMs;
    // Error lines gathered during run(), each ending with "\n".
    std::string messages;
    tServiceNotifier* notifier = nullptr;
    // Posts the plugin steps to the notifier's board while there is a notifier.
    std::optional<tStepBoardPoster> stepPoster;
};

#endif  // ZOKORVO_TSERVICE_H
