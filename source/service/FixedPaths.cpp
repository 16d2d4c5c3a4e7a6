// Compiled once per executable variant with that variant's three paths.
#include "service/FixedPaths.h"

#include "zosysq/stdpath.h"

const char* const kStatusDirectory = ZO_STATUS_DIRECTORY;

// systemd's; the test variant names a socket of the tests' own.
#ifndef ZO_JOURNAL_SOCKET
#define ZO_JOURNAL_SOCKET "/run/systemd/journal/socket"
#endif
const char* const kJournalSocket = ZO_JOURNAL_SOCKET;

const char* const kPluginHost = ZO_PLUGIN_HOST;

#ifdef ZO_DEPLOYMENT_PAUSE_VARIABLE
const char* const kDeploymentPauseVariable = ZO_DEPLOYMENT_PAUSE_VARIABLE;
#else
const char* const kDeploymentPauseVariable = nullptr;
#endif

namespace zosysq {
const char* const kSharePointerFile = ZO_SHARE_POINTER_FILE;
const char* const kDefaultShareDirectory = ZO_DEFAULT_SHARE_DIRECTORY;
}  // namespace zosysq
