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
#include <string>

#include "zoqel/quarks/synchronization.h"

class tService {
  public:
    tService();
    ~tService();
    tService(const tService&) = delete;
    tService& operator=(const tService&) = delete;

    void run();
    void requestStop();

  private:
    zoqel::tEvent stopEvent;
    // Capabilities available to plugins; the deployment query may clear
    // kDeploymentCapability.
    uint32_t capabilityMask;
    // Whole milliseconds from the start of run() to the end of the
    // deployment query; 0 means not measured.
    uint64_t initTimeMs;
    // Error lines gathered during run(), each ending with "\n".
    std::string messages;
};

#endif  // ZOKORVO_TSERVICE_H
