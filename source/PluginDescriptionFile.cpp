// Reads one plugin description file into a tPluginDescription.
#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cstdio>
#include <memory>
#include <new>

#include "ini/IniFile.h"
#include "nPluginData.h"
#include "zoerr/Status.h"

namespace nPluginData {

const uint32_t kDescriptionFileFlags = kIniAllowEmptyValues | kIniStripDoubleQuotes;

namespace {

using IniDocument = std::unique_ptr<IniFile, decltype(&IniFile::destroy)>;

IniDocument readDocument(const std::string& path) {
    IniDocument file(IniFile::create(0), &IniFile::destroy);
    if (!file) {
        throw std::bad_alloc();
    }
    file->setFlags(kDescriptionFileFlags);
    const int result = file->readFile(path.c_str());
    if (result < 0) {
        ZOERR_RAISE(result, "result");
    }
    if (file->firstErrorLine() != -1) {
        ZOERR_RAISE(zoerr::kInvalidParameter, "zoqelerr_invalidParameter");
    }
    return file;
}

// Comma-separated names, trimmed, empty pieces dropped, sorted ascending
// byte-wise with duplicates kept: the plugin manager checks the list
// against its sorted set of started names in one merge pass.
std::vector<std::string> dependencyList(const std::string& text) {
    std::vector<std::string> names;
    boost::algorithm::split(names, text, [](char c) { return c == ','; });
    for (std::string& name : names) {
        boost::algorithm::trim(name);
    }
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return name.empty(); }),
                names.end());
    std::sort(names.begin(), names.end());
    return names;
}

// sscanf's "%u": leading white space skipped, an optional sign, digits up
// to the first other character; no digits at all is 0, never admitted.
uint32_t requiredCapabilities(const std::string& text) {
    if (text.empty()) {
        return 1;
    }
    unsigned int value = 0;
    return sscanf(text.c_str(), "%u", &value) == 1 ? value : 0;
}

}  // namespace

void readServiceValue(IniFile& file, const char* key, std::string& value) {
    const char* stored = nullptr;
    if (file.getValue("Service", key, &stored) == 1) {
        value = stored;
    } else {
        value.clear();
    }
}

void parseDescriptionFile(const std::string& path, tPluginDescription& description) {
    IniDocument file = readDocument(path);
    tPluginDescription parsed;
    std::string text;
    readServiceValue(*file, "Name", parsed.name);
    readServiceValue(*file, "Dependencies", text);
    parsed.dependencies = dependencyList(text);
    readServiceValue(*file, "Path", parsed.path);
    readServiceValue(*file, "Requires", text);
    parsed.requires = requiredCapabilities(text);
    readServiceValue(*file, "Initialize", parsed.initializeSymbol);
    readServiceValue(*file, "Stop", parsed.stopSymbol);
    readServiceValue(*file, "Cleanup", parsed.cleanupSymbol);
    // Built aside and moved in whole, so a failure above leaves the
    // caller's record as it was.
    description = std::move(parsed);
}

}  // namespace nPluginData
