#include "plugins/PluginProcessSettings.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <strings.h>
#include <vector>

namespace {

bool sameWord(const std::string& text, const char* word) {
    return strcasecmp(text.c_str(), word) == 0;
}

// A whole decimal number, nothing before or after it.
bool wholeNumber(const std::string& text, unsigned long most, unsigned long& value) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = strtoul(text.c_str(), nullptr, 10);
    return value <= most;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// getpwnam_r and getgrnam_r want a buffer whose size the system suggests;
// a large group grows it.
template <typename Entry, typename Lookup>
bool lookUp(Lookup lookup, Entry& entry, std::vector<char>& buffer) {
    buffer.resize(4096);
    for (;;) {
        Entry* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found != nullptr;
    }
}

}  // namespace

tPluginProcessSettings readProcessSettings(const tProcessSettingTexts& texts) {
    tPluginProcessSettings settings;
    settings.user = texts.user;
    settings.group = texts.group;
    std::string& fault = settings.fault;
    if (texts.isolation.empty() || sameWord(texts.isolation, "service")) {
        settings.isolation = tIsolation::service;
    } else if (sameWord(texts.isolation, "process")) {
        settings.isolation = tIsolation::process;
    } else {
        fault = "Isolation=" + texts.isolation + " is neither \"service\" nor \"process\"";
    }
    if (texts.restart.empty() || sameWord(texts.restart, "no")) {
        settings.restart = tRestartPolicy::no;
    } else if (sameWord(texts.restart, "on-failure")) {
        settings.restart = tRestartPolicy::onFailure;
    } else if (fault.empty()) {
        fault = "Restart=" + texts.restart + " is neither \"no\" nor \"on-failure\"";
    }
    unsigned long seconds = kDefaultStopTimeoutS;
    if (!texts.stopTimeout.empty() &&
        (!wholeNumber(texts.stopTimeout, kMaxStopTimeoutS, seconds) || seconds == 0) &&
        fault.empty()) {
        fault = "StopTimeoutSec=" + texts.stopTimeout + " is not a whole number of seconds from 1 to " +
                std::to_string(kMaxStopTimeoutS);
    }
    settings.stopTimeoutS = static_cast<uint32_t>(seconds);
    // In the service's process a user of its own cannot be had: the plugin
    // would run as root while its description says otherwise.
    if (fault.empty() && settings.isolation != tIsolation::process) {
        for (const auto& [key, value] :
             {std::make_pair("User", &texts.user), std::make_pair("Group", &texts.group),
              std::make_pair("Restart", &texts.restart),
              std::make_pair("StopTimeoutSec", &texts.stopTimeout)}) {
            if (!value->empty()) {
                fault = std::string(key) + "= needs Isolation=process";
                break;
            }
        }
    }
    return settings;
}

namespace {

// The entry of `text` (a name, or else a number) in one database: the
// name's look-up first, so that a user named with digits is found by name.
// False when neither finds it; `number` is then the number, if `text` was one.
template <typename Entry, typename ByName, typename ByNumber>
bool findEntry(const std::string& text, ByName byName, ByNumber byNumber, Entry& entry,
               std::vector<char>& buffer, bool& numeric, unsigned long& number) {
    numeric = wholeNumber(text, 0xFFFFFFFEul, number);
    if (lookUp<Entry>([&](Entry* e, char* b, size_t n, Entry** r) { return byName(text.c_str(), e, b, n, r); },
                      entry, buffer)) {
        return true;
    }
    return numeric && lookUp<Entry>([&](Entry* e, char* b, size_t n, Entry** r) {
               return byNumber(static_cast<unsigned>(number), e, b, n, r);
           }, entry, buffer);
}

}  // namespace

bool resolvePluginUser(const tPluginProcessSettings& settings, tPluginIdentity& identity,
                       std::string& why) {
    identity = tPluginIdentity();
    identity.uid = geteuid();
    identity.gid = getegid();
    std::vector<char> buffer;
    bool numeric = false;
    unsigned long number = 0;
    if (!settings.user.empty()) {
        passwd entry{};
        const bool found = findEntry(settings.user, getpwnam_r, getpwuid_r, entry, buffer, numeric, number);
        if (!found && !numeric) {
            why = "unknown user " + quoted(settings.user);
            return false;
        }
        identity.changesUser = true;
        identity.uid = found ? entry.pw_uid : static_cast<uid_t>(number);
        // A number the database does not know has no groups of its own: it
        // runs in the group of the same number unless Group= says another.
        identity.gid = found ? entry.pw_gid : static_cast<gid_t>(number);
        identity.userName = found ? entry.pw_name : "";
    }
    if (!settings.group.empty()) {
        group entry{};
        const bool found = findEntry(settings.group, getgrnam_r, getgrgid_r, entry, buffer, numeric, number);
        if (!found && !numeric) {
            why = "unknown group " + quoted(settings.group);
            return false;
        }
        identity.changesUser = true;
        identity.gid = found ? entry.gr_gid : static_cast<gid_t>(number);
    }
    return true;
}

std::string processSettingsRefusal(const tPluginProcessSettings& settings) {
    std::string why = settings.fault;
    tPluginIdentity identity;
    if (why.empty() && settings.isolation == tIsolation::process) {
        resolvePluginUser(settings, identity, why);
    }
    return why;
}
