// tPluginDescription: what one plugin description file says about one plugin.
//
// A plain value type with deep copies. A default description has every text
// empty, no dependencies and `requires` 1. Nothing here is validated: the
// plugin manager decides what becomes of an empty name, path or symbol.
#ifndef ZOKORVO_TPLUGINDESCRIPTION_H
#define ZOKORVO_TPLUGINDESCRIPTION_H

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/PluginProcessSettings.h"

struct tPluginDescription {
    std::string name;
    // Names of the plugins that must have started before this one: each
    // non-empty and trimmed, sorted ascending byte-wise, duplicates kept.
    std::vector<std::string> dependencies;
    // Capabilities the plugin needs; admitted when it shares a bit with the
    // service's capability mask, so 0 is never admitted.
    uint32_t requires = 1;
    // Handed to the dynamic loader exactly as written.
    std::string path;
    std::string initializeSymbol;
    std::string stopSymbol;
    std::string cleanupSymbol;
    // Where the plugin runs and as whom: the service's process unless the
    // description asks for one of its own (PluginProcessSettings.h).
    tPluginProcessSettings process;
    // Where the description came from, as discovery listed it, and the
    // fingerprint of its bytes (see FileIdentity.h), taken before it was
    // parsed, by which a reload tells an unchanged file. Empty and 0 when not
    // read from a file.
    std::string file;
    uint64_t fileFingerprint = 0;
};

#endif  // ZOKORVO_TPLUGINDESCRIPTION_H
