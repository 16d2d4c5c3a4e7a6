// Lists the description files of the plugins directory.
#include <boost/filesystem.hpp>

#include "safety/PathSafety.h"
#include "plugins/PluginDiscovery.h"
#include "zoerr/Status.h"
#include "zosysq/stdpath.h"

namespace fs = boost::filesystem;

namespace nPluginData {
namespace {

// status() follows links and reports ENOENT and ENOTDIR as file_not_found;
// every other failure (ELOOP, ENAMETOOLONG, EACCES) leaves as boost's
// filesystem_error.
void requireDirectory(const fs::path& directory) {
    if (!fs::is_directory(fs::status(directory))) {
        ZOERR_RAISE(zoerr::kSoftwareFault, "zoqelerr_softwareFaultQELInternalUseOnly");
    }
}

}  // namespace

fs::path getPluginsDirectory() {
    std::string shareDirectory;
    // A pointer file another user could have written would let that user
    // choose every description file root reads: it counts as unreadable.
    if (tPathSafety().check(zosysq::kSharePointerFile).safe()) {
        zosysq::getShareDirectory(shareDirectory);
    } else {
        shareDirectory = zosysq::kDefaultShareDirectory;
    }
    fs::path pluginsDirectory(shareDirectory);
    pluginsDirectory /= "KorvoRemoteService";
    pluginsDirectory /= "plugins";
    return pluginsDirectory;
}

void getDescriptionFiles(std::vector<std::string>& files) {
    findFilesByExtension(getPluginsDirectory(), ".ini", files);
}

tPathVerdict checkPluginsDirectory(const fs::path& directory) {
    return tPathSafety().check(directory.string());
}

void findFilesByExtension(const fs::path& directory, const std::string& extension,
                          std::vector<std::string>& files) {
    requireDirectory(directory);
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        // The entry's status follows links like fs::status(); a dangling link
        // reports file_not_found and is skipped like any other entry that is
        // not a regular file.
        if (fs::is_regular_file(entry.status()) && entry.path().extension().string() == extension) {
            files.push_back(entry.path().string());
        }
    }
}

}  // namespace nPluginData
