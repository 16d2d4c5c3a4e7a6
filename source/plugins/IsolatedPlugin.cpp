#include "plugins/IsolatedPlugin.h"

#include "zoerr/Status.h"

namespace {

tIsolatedPluginFactory theFactory = nullptr;

}  // namespace

void setIsolatedPluginFactory(tIsolatedPluginFactory factory) {
    theFactory = factory;
}

std::unique_ptr<tIsolatedPlugin> makeIsolatedPlugin(const tPluginDescription& description) {
    if (theFactory == nullptr) {
        ZOERR_RAISE(zoerr::kInvalidParameter, "zoqelerr_invalidParameter");
    }
    return theFactory(description);
}
