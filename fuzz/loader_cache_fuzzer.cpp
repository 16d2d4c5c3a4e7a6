// Feeds arbitrary bytes to findInLoaderCache as the loader's cache, looking up
// a name taken from the input's first bytes. Every offset the cache holds is
// the input's own, so AddressSanitizer stops any read past its end. Besides
// that, every path found must lie within the input as a NUL-terminated text.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "safety/LoaderCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t nameLength = size > 0 ? data[0] % 24 : 0;
    if (size < 1 + nameLength) {
        return 0;
    }
    const std::string name(reinterpret_cast<const char*>(data) + 1, nameLength);
    const std::string cache(reinterpret_cast<const char*>(data) + 1 + nameLength,
                            size - 1 - nameLength);
    std::vector<std::string> paths;
    const bool known = findInLoaderCache(cache, name, paths);
    if (!known && !paths.empty()) {
        abort();
    }
    for (const std::string& path : paths) {
        if (cache.find(path + '\0') == std::string::npos) {
            abort();
        }
    }
    return 0;
}
