#include "system/DeploymentPermission.h"

#include <time.h>

#include <cerrno>
#include <string>

namespace zoKorvoRemoteService {
namespace {

constexpr uint32_t kPauseAfterFailedAttemptMs = 10000;

// The values the framework expects for reaching the local machine's settings.
constexpr int32_t kFrameworkMode = 1;
constexpr uint32_t kFrameworkOptions = 0;
constexpr uint32_t kParameterFlags = 0x103A000;
constexpr uint32_t kParameterLevel = 4;
constexpr int32_t kConnectionMode = 1;
constexpr int32_t kSettingsAccess = 1;
constexpr uint32_t kDeploymentSettingId = 0x13000000;
// "//" and the loopback host name: the settings of this machine.
const wchar_t* const kLocalMachineTarget = L"//localhost";

// One attempt to reach the settings object. On success keptFramework holds an
// added reference on the framework and settings holds the settings object;
// everything else the attempt obtained is released when it returns, on every
// path: the connection, the target string, the parameter object and the
// attempt's own framework reference, in that order (reverse declaration order).
bool tryToReachSettings(const tDeploymentQuerySeams& seams,
                        tSystemObjectReference<zosysFramework>& keptFramework,
                        tSystemObjectReference<zosysSettings>& settings) {
    tSystemObjectReference<zosysFramework> framework;
    if (seams.instantiateFramework(kFrameworkMode, kFrameworkOptions, framework.receive()) != 0 ||
        !framework) {
        return false;
    }
    zosysFramework* const frameworkObject = framework.get();
    tSystemObjectReference<zosysParameters> parameters;
    if (frameworkObject->operations->createParameters(frameworkObject, parameters.receive()) != 0 ||
        !parameters) {
        return false;
    }
    zosysParameters* const parametersObject = parameters.get();
    if (parametersObject->operations->configure(parametersObject, kParameterFlags,
                                                kParameterLevel) != 0) {
        return false;
    }
    const std::wstring target(kLocalMachineTarget);
    tSystemObjectReference<zosysConnection> connection;
    if (frameworkObject->operations->openConnection(frameworkObject, target.c_str(),
                                                    kConnectionMode, parametersObject,
                                                    connection.receive()) != 0 ||
        !connection) {
        return false;
    }
    int32_t reserved = 0;
    tSystemObjectReference<zosysSettings> attemptSettings;
    zosysConnection* const connectionObject = connection.get();
    if (connectionObject->operations->getSettings(connectionObject, kSettingsAccess,
                                                  attemptSettings.receive(), &reserved) != 0 ||
        !attemptSettings) {
        return false;
    }
    keptFramework.assign(frameworkObject);
    settings = std::move(attemptSettings);
    return true;
}

bool reachSettings(const tDeploymentQuerySeams& seams,
                   tSystemObjectReference<zosysFramework>& keptFramework,
                   tSystemObjectReference<zosysSettings>& settings) {
    for (uint32_t attempt = 0; attempt < kDeploymentAttempts; ++attempt) {
        if (tryToReachSettings(seams, keptFramework, settings)) {
            return true;
        }
        seams.pause(kPauseAfterFailedAttemptMs);
    }
    return false;
}

bool readDeploymentSetting(zosysSettings* settings) {
    int32_t value = 0;
    if (settings->operations->readSetting(settings, kDeploymentSettingId, &value) != 0) {
        throw DeploymentSettingNotFound();
    }
    return value != 0;
}

}  // namespace

tDeploymentQuerySeams systemDeploymentQuerySeams() {
    return tDeploymentQuerySeams{zosysInstantiateFramework2, sleepMilliseconds};
}

bool isDeploymentAllowed() {
    return isDeploymentAllowed(systemDeploymentQuerySeams());
}

bool isDeploymentAllowed(const tDeploymentQuerySeams& seams) {
    // Declared in this order so that the settings object is released before the
    // kept framework reference, whether the read succeeds or throws.
    tSystemObjectReference<zosysFramework> framework;
    tSystemObjectReference<zosysSettings> settings;
    if (!reachSettings(seams, framework, settings)) {
        throw CannotInitSystemFramework();
    }
    return readDeploymentSetting(settings.get());
}

void sleepMilliseconds(uint32_t ms) {
    timespec requested{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&requested, &remaining) != 0 && errno == EINTR) {
        requested = remaining;
    }
}

}  // namespace zoKorvoRemoteService
