// tPluginProcessSettings: how a plugin's description asks it to run, in the
// service's process (the default, as every plugin always did) or in a
// process of its own, as which user, restarted or not, and how long its Stop
// and Cleanup may take there. Read from the optional keys "Isolation",
// "User", "Group", "Restart" and "StopTimeoutSec" of section "Service".
//
// readProcessSettings() never fails: a value it cannot take leaves `fault`
// saying which and why, and the plugin manager refuses such a plugin before
// anything of it is opened. resolvePluginUser() asks the user and group
// databases; it may block on them (NSS), so the run-cycle thread calls it at
// the plugin's start step and the checker at its check. Nothing here keeps
// state; everything is thread-safe.
#ifndef ZOKORVO_PLUGINPROCESSSETTINGS_H
#define ZOKORVO_PLUGINPROCESSSETTINGS_H

#include <sys/types.h>

#include <cstdint>
#include <string>

enum class tIsolation { service, process };
enum class tRestartPolicy { no, onFailure };

// How long an isolated plugin's Stop or Cleanup may run before its process
// is killed, when the description does not say.
constexpr uint32_t kDefaultStopTimeoutS = 30;
// The most StopTimeoutSec= takes: an hour is longer than any stop an
// administrator waits for.
constexpr uint32_t kMaxStopTimeoutS = 3600;

struct tPluginProcessSettings {
    tIsolation isolation = tIsolation::service;
    // As written: a name or a number; empty keeps the service's own.
    std::string user;
    std::string group;
    tRestartPolicy restart = tRestartPolicy::no;
    uint32_t stopTimeoutS = kDefaultStopTimeoutS;
    // Why the keys cannot be taken, naming the key; empty when they can.
    std::string fault;
};

// The five values as the description file holds them ("" when absent).
struct tProcessSettingTexts {
    std::string isolation;
    std::string user;
    std::string group;
    std::string restart;
    std::string stopTimeout;
};

tPluginProcessSettings readProcessSettings(const tProcessSettingTexts& texts);

// The user and group an isolated plugin runs as, looked up by name or
// number; `userName` is the name initgroups(3) takes the supplementary
// groups of (empty when the user is the service's own).
struct tPluginIdentity {
    bool changesUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string userName;
};

// False, with `why` ("unknown user \"x\""), when User= or Group= names no
// user or group of this machine. Without User= or Group= the identity is
// the calling process's own and nothing is looked up.
bool resolvePluginUser(const tPluginProcessSettings& settings, tPluginIdentity& identity,
                       std::string& why);

// Why a plugin with `settings` is refused before its process is made (the
// keys' fault, or an unknown user or group); empty when it is not.
std::string processSettingsRefusal(const tPluginProcessSettings& settings);

#endif  // ZOKORVO_PLUGINPROCESSSETTINGS_H
