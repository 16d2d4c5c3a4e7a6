// A framework made inside the test for the deployment query: its objects count
// their references, and every call the query makes, every release and every
// pause goes into one event log in the order it happens. One chosen step of an
// attempt fails (by status, or by a null object with success) for a chosen
// number of attempts. Single-threaded; it outlives every object it hands out.
#ifndef ZO_TESTS_DEPLOYMENT_FAKEFRAMEWORK_H
#define ZO_TESTS_DEPLOYMENT_FAKEFRAMEWORK_H

#include <climits>
#include <string>
#include <vector>

#include "system/DeploymentPermission.h"

namespace zotest {

enum class tFailingStep {
    none,
    instantiate,
    instantiateGivesNull,
    createParameters,
    configure,
    openConnection,
    connectionIsNull,
    getSettings,
    settingsIsNull,
    readSetting,
};

class tFakeFramework {
  public:
    explicit tFakeFramework(tFailingStep failingStep = tFailingStep::none,
                            int failingAttempts = INT_MAX, int32_t setting = 1);
    ~tFakeFramework();
    tFakeFramework(const tFakeFramework&) = delete;
    tFakeFramework& operator=(const tFakeFramework&) = delete;

    // The fake entry point and a pause that only logs "pause <ms>".
    zoKorvoRemoteService::tDeploymentQuerySeams seams();

    // A settings object of the given name; answersAs, when set, is the object
    // it answers for the base interface instead of itself.
    zosysSettings* newSettings(const std::string& name, zosysSettings* answersAs = nullptr);

    int referencesOf(const void* object) const;
    int liveReferences() const;
    const std::vector<std::string>& events() const { return eventLog; }

    // Internal to the fake's operations.
    struct tObject;
    bool failsNow(tFailingStep step) const;
    void startAttempt() { ++attempts; }
    int32_t settingValue() const { return setting; }
    void log(const std::string& event) { eventLog.push_back(event); }
    tObject* create(const void* operations, const std::string& name);
    void forget(tObject* object);

  private:
    tFailingStep failingStep;
    int failingAttempts;
    int attempts = 0;
    int32_t setting;
    std::vector<tObject*> objects;
    std::vector<std::string> eventLog;
};

}  // namespace zotest

#endif  // ZO_TESTS_DEPLOYMENT_FAKEFRAMEWORK_H
