#include "support/LifecycleSupport.h"

#include <dlfcn.h>

namespace zotest {

bool isLibraryLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

tPluginDescription describePlugin(const std::string& name, const std::string& path,
                                  const std::string& initializeSymbol,
                                  const std::string& stopSymbol, const std::string& cleanupSymbol,
                                  std::vector<std::string> dependencies, uint32_t requires) {
    tPluginDescription description;
    description.name = name;
    description.dependencies = std::move(dependencies);
    description.requires = requires;
    description.path = path;
    description.initializeSymbol = initializeSymbol;
    description.stopSymbol = stopSymbol;
    description.cleanupSymbol = cleanupSymbol;
    return description;
}

}  // namespace zotest
