// Feeds arbitrary file contents to the plugin description parser. Besides
// the sanitizers' checks: a parse either fills the record with a dependency
// list that is sorted, free of empty or untrimmed names and of commas, or
// raises a zoerr::Exception and leaves the record exactly as it was.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "plugins/PluginDescriptionFile.h"
#include "zoerr/Status.h"

namespace {

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

// One scratch file per fuzzing process, rewritten for each input.
const char* scratchFile(const uint8_t* data, size_t size) {
    static char path[] = "/tmp/zodescription-fuzz-XXXXXX";
    static int fd = mkstemp(path);
    require(fd >= 0);
    require(ftruncate(fd, 0) == 0);
    require(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    return path;
}

bool isClassicSpace(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

void requireWellFormedDependencies(const tPluginDescription& description) {
    const std::vector<std::string>& names = description.dependencies;
    require(std::is_sorted(names.begin(), names.end()));
    for (const std::string& name : names) {
        require(!name.empty());
        require(!isClassicSpace(name.front()) && !isClassicSpace(name.back()));
        require(name.find(',') == std::string::npos);
    }
}

tPluginDescription sentinel() {
    tPluginDescription description;
    description.name = "sentinel";
    description.dependencies = {"z", "a"};
    description.requires = 77;
    description.cleanupSymbol = "untouched";
    return description;
}

bool sameRecord(const tPluginDescription& a, const tPluginDescription& b) {
    return a.name == b.name && a.dependencies == b.dependencies && a.requires == b.requires &&
           a.path == b.path && a.initializeSymbol == b.initializeSymbol &&
           a.stopSymbol == b.stopSymbol && a.cleanupSymbol == b.cleanupSymbol;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = scratchFile(data, size);
    tPluginDescription description = sentinel();
    try {
        nPluginData::parseDescriptionFile(path, description);
    } catch (const zoerr::Exception& error) {
        require(error.status.code < 0);
        require(sameRecord(description, sentinel()));
        return 0;
    }
    requireWellFormedDependencies(description);
    return 0;
}
