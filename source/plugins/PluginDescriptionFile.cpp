// Reads one plugin description file into a tPluginDescription.
#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safety/FileIdentity.h"
#include "ini/IniFile.h"
#include "plugins/PluginDescriptionFile.h"
#include "zoerr/Status.h"

namespace nPluginData {

const uint32_t kDescriptionFileFlags = kIniAllowEmptyValues | kIniStripDoubleQuotes;

namespace {

using IniDocument = std::unique_ptr<IniFile, decltype(&IniFile::destroy)>;

IniDocument newDocument() {
    IniDocument file(IniFile::create(0), &IniFile::destroy);
    if (!file) {
        throw std::bad_alloc();
    }
    file->setFlags(kDescriptionFileFlags);
    return file;
}

void requireRead(const IniFile& file, int result) {
    if (result < 0) {
        ZOERR_RAISE(result, "result");
    }
    if (file.firstErrorLine() != -1) {
        ZOERR_RAISE(zoerr::kInvalidParameter, "zoqelerr_invalidParameter");
    }
}

IniDocument readDocument(const std::string& path) {
    IniDocument file = newDocument();
    requireRead(*file, file->readFile(path.c_str()));
    return file;
}

// The text is parsed in place, so that the bytes the fingerprint was taken
// of are the bytes parsed.
IniDocument parseDocument(const std::string& text) {
    IniDocument file = newDocument();
    requireRead(*file, file->readBytes(text.data(), text.size()));
    return file;
}

// The whole of the regular file open at `descriptor`, whose size was `size`
// when judged; it may have grown since.
int readWhole(int descriptor, off_t size, std::string& text) {
    text.resize(static_cast<size_t>(size) + 1);
    size_t length = 0;
    for (;;) {
        if (length == text.size()) {
            text.resize(text.size() * 2);
        }
        const ssize_t count = read(descriptor, &text[length], text.size() - length);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return kIniResultReadFailed;
        }
        if (count == 0) {
            break;
        }
        const size_t asked = text.size() - length;
        length += static_cast<size_t>(count);
        // A short read of a regular file that holds what fstat(2) counted
        // is its end: one read instead of two for every description.
        if (static_cast<size_t>(count) < asked && length >= static_cast<size_t>(size)) {
            break;
        }
    }
    text.resize(length);
    return kIniResultOk;
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

namespace {

// Built aside and moved in whole, so that a failure leaves the caller's
// record as it was.
void takeDescription(IniFile& file, tPluginDescription& description) {
    tPluginDescription parsed;
    std::string text;
    readServiceValue(file, "Name", parsed.name);
    readServiceValue(file, "Dependencies", text);
    parsed.dependencies = dependencyList(text);
    readServiceValue(file, "Path", parsed.path);
    readServiceValue(file, "Requires", text);
    parsed.requires = requiredCapabilities(text);
    readServiceValue(file, "Initialize", parsed.initializeSymbol);
    readServiceValue(file, "Stop", parsed.stopSymbol);
    readServiceValue(file, "Cleanup", parsed.cleanupSymbol);
    tProcessSettingTexts settings;
    readServiceValue(file, "Isolation", settings.isolation);
    readServiceValue(file, "User", settings.user);
    readServiceValue(file, "Group", settings.group);
    readServiceValue(file, "Restart", settings.restart);
    readServiceValue(file, "StopTimeoutSec", settings.stopTimeout);
    parsed.process = readProcessSettings(settings);
    description = std::move(parsed);
}

}  // namespace

void parseDescriptionFile(const std::string& path, tPluginDescription& description) {
    takeDescription(*readDocument(path), description);
}

tPathVerdict readDescriptionFile(tPathSafety& pathSafety, const std::string& path,
                                 tPluginDescription& description) {
    tPathVerdict verdict;
    struct stat info;
    bool exists = true;
    const int descriptor = pathSafety.openJudged(path, verdict, info, exists);
    if (descriptor < 0) {
        if (!verdict.safe()) {
            return verdict;
        }
        ZOERR_RAISE(exists ? kIniResultCannotOpen : kIniResultFileMissing, "result");
    }
    std::string text;
    // Only a regular file has an end: anything else root owns in its place
    // is not a description.
    const int result =
        S_ISREG(info.st_mode) ? readWhole(descriptor, info.st_size, text) : kIniResultCannotOpen;
    close(descriptor);
    if (result != kIniResultOk) {
        ZOERR_RAISE(result, "result");
    }
    tPluginDescription parsed;
    takeDescription(*parseDocument(text), parsed);
    parsed.file = path;
    parsed.fileFingerprint = fingerprintBytes(text.data(), text.size());
    description = std::move(parsed);
    return verdict;
}

}  // namespace nPluginData
