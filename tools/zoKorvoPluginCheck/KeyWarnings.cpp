#include "KeyWarnings.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>

#include "Wording.h"
#include "ini/IniFile.h"
#include "plugins/PluginDescriptionFile.h"
#include "plugins/PluginProcessSettings.h"

namespace nPluginCheck {
namespace {

constexpr const char* kServiceKeys[] = {"Name",      "Dependencies", "Path",    "Requires",
                                        "Initialize", "Stop",        "Cleanup", "Isolation",
                                        "User",      "Group",        "Restart", "StopTimeoutSec"};

using IniDocument = std::unique_ptr<IniFile, decltype(&IniFile::destroy)>;

bool isServiceKey(const std::string& name) {
    for (const char* key : kServiceKeys) {
        if (sameIniName(name, key)) {
            return true;
        }
    }
    return false;
}

// The same document the parser reads, for the keys that remain after the
// reader joined numbered keys; null when the file cannot be read.
IniDocument readDocument(const std::string& path) {
    IniDocument document(IniFile::create(0), &IniFile::destroy);
    if (!document) {
        throw std::bad_alloc();
    }
    document->setFlags(nPluginData::kDescriptionFileFlags);
    if (document->readFile(path.c_str()) != kIniResultOk) {
        document.reset();
    }
    return document;
}

void warnAboutPlace(const tKeyLine& key, tFileReport& report) {
    if (key.place == tPlace::beforeAnySection) {
        addWarning(
            report, key.line, "key-outside-service",
            "key " + quoted(key.name) + " comes before any section header: the service ignores it");
    } else if (key.place == tPlace::otherSection) {
        addWarning(report, key.line, "key-outside-service",
                   "key " + quoted(key.name) + " is in section [" + key.section +
                       "]: the service reads only [Service] and ignores it");
    }
}

bool isSingleQuoted(const std::string& value) {
    return value.size() >= 2 && value.front() == '\'' && value.back() == '\'';
}

const tKeyLine* earlierServiceKey(const std::vector<tKeyLine>& keys, size_t index) {
    for (size_t i = index; i-- > 0;) {
        if (keys[i].place == tPlace::service &&
            sameIniName(keys[i].name, keys[index].name.c_str())) {
            return &keys[i];
        }
    }
    return nullptr;
}

// Key lines in [Service]: keys it does not read, single quotes, repeats. A
// key that the document no longer holds under its own name was joined with
// numbered keys ("Base Line1", "Base Line2"); the joined key is judged by
// warnAboutJoinedKeys.
void warnAboutServiceKey(const std::vector<tKeyLine>& keys, size_t index, IniFile* document,
                         tFileReport& report) {
    const tKeyLine& key = keys[index];
    const bool joined = document != nullptr && !document->hasKey("Service", key.name.c_str());
    if (!isServiceKey(key.name) && !joined) {
        addWarning(report, key.line, "unknown-key",
                   "key " + quoted(key.name) + " is not one the service reads; it is ignored");
    }
    if (isSingleQuoted(key.value)) {
        addWarning(
            report, key.line, "single-quoted-value",
            "the value " + key.value + " keeps its single quotes: only double quotes are removed");
    }
    if (const tKeyLine* earlier = earlierServiceKey(keys, index)) {
        addWarning(report, key.line, "repeated-key",
                   "key " + quoted(key.name) + " repeats line " + std::to_string(earlier->line) +
                       ": the service uses the later value");
    }
}

int32_t firstLineJoinedInto(const std::vector<tKeyLine>& keys, const std::string& joinedName,
                            IniFile& document) {
    for (const tKeyLine& key : keys) {
        const std::string base = key.name.substr(0, key.name.find(" Line"));
        if (key.place == tPlace::service && !document.hasKey("Service", key.name.c_str()) &&
            sameIniName(base, joinedName.c_str())) {
            return key.line;
        }
    }
    return 0;
}

bool isKeyLineName(const std::vector<tKeyLine>& keys, const std::string& name) {
    for (const tKeyLine& key : keys) {
        if (key.place == tPlace::service && sameIniName(key.name, name.c_str())) {
            return true;
        }
    }
    return false;
}

void warnAboutJoinedKeys(const std::vector<tKeyLine>& keys, IniFile& document,
                         tFileReport& report) {
    const IniSection* service = document.findSection("Service");
    for (size_t i = 0; service != nullptr && i < service->keyCount; ++i) {
        const std::string name = service->keys[i]->name;
        if (!isServiceKey(name) && !isKeyLineName(keys, name)) {
            addWarning(report, firstLineJoinedInto(keys, name, document), "unknown-key",
                       "numbered keys are joined into the key " + quoted(name) +
                           ", which the service does not read; it is ignored");
        }
    }
}

// The line whose value the service reads for `key`: the last one in [Service].
int32_t lineOfServiceKey(const std::vector<tKeyLine>& keys, const char* key) {
    int32_t line = 0;
    for (const tKeyLine& candidate : keys) {
        if (candidate.place == tPlace::service && sameIniName(candidate.name, key)) {
            line = candidate.line;
        }
    }
    return line;
}

void warnAboutRequires(const std::vector<tKeyLine>& keys, IniFile& document, tFileReport& report) {
    std::string text;
    nPluginData::readServiceValue(document, "Requires", text);
    const uint32_t requires = report.description.requires;
    if (text.empty() || (isdigit(static_cast<unsigned char>(text[0])) && requires != 0)) {
        return;
    }
    std::string message = "\"Requires\" is " + quoted(text) + ", which the service reads as " +
                          std::to_string(requires);
    message += requires == 0 ? ": the plugin is never admitted (-52002)"
                             : ": it does not start with decimal digits";
    addWarning(report, lineOfServiceKey(keys, "Requires"), "suspicious-requires", message);
}

void warnAboutPath(const std::vector<tKeyLine>& keys, tFileReport& report) {
    const std::string& path = report.description.path;
    const int32_t line = lineOfServiceKey(keys, "Path");
    if (path.empty()) {
        addWarning(report, line, "missing-path",
                   "no \"Path\": the service has no library to open; once the plugin passes "
                   "the admission and dependency tests, it fails with -52005 and every plugin "
                   "that depends on it is refused");
    } else if (path.find('/') == std::string::npos) {
        addWarning(report, line, "relative-path",
                   "\"Path\" " + quoted(path) +
                       " is a bare file name: the dynamic loader searches its own directories "
                       "for it (LD_LIBRARY_PATH, its cache, the system library directories), "
                       "not the plugins directory");
    } else if (path[0] != '/') {
        addWarning(report, line, "relative-path",
                   "\"Path\" " + quoted(path) +
                       " is relative: the loader resolves it against the service's working "
                       "directory, not against the plugins directory");
    }
}

// The keys of a plugin's own process, as the service takes them: one it
// cannot take, or a user or group this machine does not know, refuses the
// plugin (-52043).
void checkProcessSettings(const std::vector<tKeyLine>& keys, tFileReport& report) {
    const std::string why = processSettingsRefusal(report.description.process);
    if (why.empty()) {
        return;
    }
    const char* kind = report.description.process.fault.empty() ? "unknown-user" : "process-setting";
    int32_t line = 0;
    for (const char* key : {"Isolation", "Restart", "StopTimeoutSec", "User", "Group"}) {
        if (why.compare(0, strlen(key), key) == 0 || why.find(key) != std::string::npos) {
            line = lineOfServiceKey(keys, key);
            break;
        }
    }
    if (line == 0) {
        line = lineOfServiceKey(keys, why.find("group") != std::string::npos ? "Group" : "User");
    }
    addError(report, line, kind, why + ": the service refuses the plugin (-52043)");
}

// What the parsed description says, against what its author most likely meant.
void warnAboutDescription(const std::vector<tKeyLine>& keys, IniFile& document,
                          tFileReport& report) {
    if (document.findSection("Service") == nullptr) {
        addWarning(report, 0, "no-service-section",
                   "no [Service] section: the service reads a plugin without a name and without "
                   "a library");
        return;
    }
    if (report.description.name.empty()) {
        addWarning(report, lineOfServiceKey(keys, "Name"), "missing-name",
                   "no \"Name\": no other plugin can depend on this one, and the status file "
                   "shows it without a name");
    }
    warnAboutPath(keys, report);
    warnAboutRequires(keys, document, report);
    checkProcessSettings(keys, report);
}

}  // namespace

void warnAboutKeys(const std::string& path, const tLineWalk& walk, tFileReport& report) {
    const IniDocument document = readDocument(path);
    for (size_t i = 0; i < walk.keys.size(); ++i) {
        warnAboutPlace(walk.keys[i], report);
        if (walk.keys[i].place == tPlace::service) {
            warnAboutServiceKey(walk.keys, i, document.get(), report);
        }
    }
    if (document) {
        warnAboutJoinedKeys(walk.keys, *document, report);
        if (report.accepted) {
            warnAboutDescription(walk.keys, *document, report);
        }
    }
}

}  // namespace nPluginCheck
