// Compiled once per executable variant with that variant's three paths.
#include "service/FixedPaths.h"

#include "zosysq/stdpath.h"

#ifdef ZO_TEST_SLOT_ROOT
#include <cstring>

#include "service/TestSlot.h"

// The test variant's paths lie in the slot its test holds. Kept for the
// process's life: the paths are read until its end.
static const char* fixedPath(const char* path) {
    return strdup(inTestSlot(path, ZO_TEST_SLOT_ROOT).c_str());
}
#else
static constexpr const char* fixedPath(const char* path) { return path; }
#endif

const char* const kStatusDirectory = fixedPath(ZO_STATUS_DIRECTORY);

// systemd's; the test variant names a socket of the tests' own.
#ifndef ZO_JOURNAL_SOCKET
#define ZO_JOURNAL_SOCKET "/run/systemd/journal/socket"
#endif
const char* const kJournalSocket = fixedPath(ZO_JOURNAL_SOCKET);

const char* const kPluginHost = ZO_PLUGIN_HOST;

#ifdef ZO_DEPLOYMENT_PAUSE_VARIABLE
const char* const kDeploymentPauseVariable = ZO_DEPLOYMENT_PAUSE_VARIABLE;
#else
const char* const kDeploymentPauseVariable = nullptr;
#endif

namespace zosysq {
const char* const kSharePointerFile = fixedPath(ZO_SHARE_POINTER_FILE);
const char* const kDefaultShareDirectory = fixedPath(ZO_DEFAULT_SHARE_DIRECTORY);
}  // namespace zosysq
