// Compiled once per executable variant with that variant's three paths.
#include "FixedPaths.h"

#include "zosysq/stdpath.h"

const char* const kStatusDirectory = ZO_STATUS_DIRECTORY;

namespace zosysq {
const char* const kSharePointerFile = ZO_SHARE_POINTER_FILE;
const char* const kDefaultShareDirectory = ZO_DEFAULT_SHARE_DIRECTORY;
}  // namespace zosysq
