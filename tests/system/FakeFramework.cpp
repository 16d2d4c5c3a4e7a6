#include "FakeFramework.h"

#include <algorithm>
#include <cstring>

namespace zotest {

constexpr zosysStatus kFakeFailure = -7;

struct tFakeFramework::tObject {
    const void* operations;  // first word, as the framework's objects have it
    tFakeFramework* owner;
    std::string name;
    int references;
    void* answersAs;
};

namespace {

using tObject = tFakeFramework::tObject;

template <typename Face>
tObject* objectOf(Face* face) {
    return reinterpret_cast<tObject*>(face);
}

template <typename Face>
Face* faceOf(tObject* object) {
    return reinterpret_cast<Face*>(object);
}

template <typename Face>
zosysStatus queryInterface(Face* self, const zosysInterfaceId* id, void** answer) {
    static const zosysInterfaceId kBase = ZOSYS_BASE_INTERFACE_ID_INIT;
    tObject* object = objectOf(self);
    if (std::memcmp(id, &kBase, sizeof kBase) != 0) {
        *answer = nullptr;
        return kFakeFailure;
    }
    tObject* identity = object->answersAs ? static_cast<tObject*>(object->answersAs) : object;
    ++identity->references;
    *answer = identity;
    return 0;
}

template <typename Face>
uint32_t addReference(Face* self) {
    tObject* object = objectOf(self);
    object->owner->log("add " + object->name);
    return ++object->references;
}

template <typename Face>
uint32_t releaseReference(Face* self) {
    tObject* object = objectOf(self);
    object->owner->log("release " + object->name);
    int left = --object->references;
    if (left == 0) {
        object->owner->forget(object);
    }
    return left;
}

// Hands out a new object through out unless step fails now: by status, or by
// a null object with success when nullStep fails now.
template <typename Face>
zosysStatus handOut(tFakeFramework& owner, const char* call, tFailingStep step,
                    tFailingStep nullStep, const void* operations, const char* name, Face** out) {
    owner.log(call);
    *out = nullptr;
    if (owner.failsNow(step)) {
        return kFakeFailure;
    }
    if (!owner.failsNow(nullStep)) {
        *out = faceOf<Face>(owner.create(operations, name));
    }
    return 0;
}

#define FAKE_BASE_OPERATIONS(Face) queryInterface<Face>, addReference<Face>, releaseReference<Face>

zosysStatus readSetting(zosysSettings* self, uint32_t, int32_t* value) {
    tFakeFramework& owner = *objectOf(self)->owner;
    owner.log("readSetting");
    if (owner.failsNow(tFailingStep::readSetting)) {
        return kFakeFailure;
    }
    *value = owner.settingValue();
    return 0;
}
const zosysSettingsOperations kSettingsOperations = {
    FAKE_BASE_OPERATIONS(zosysSettings), {}, readSetting};

zosysStatus getSettings(zosysConnection* self, int32_t, zosysSettings** settings, int32_t*) {
    return handOut(*objectOf(self)->owner, "getSettings", tFailingStep::getSettings,
                   tFailingStep::settingsIsNull, &kSettingsOperations, "settings", settings);
}
const zosysConnectionOperations kConnectionOperations = {FAKE_BASE_OPERATIONS(zosysConnection),
                                                         getSettings};

zosysStatus configure(zosysParameters* self, uint32_t, uint32_t) {
    tFakeFramework& owner = *objectOf(self)->owner;
    owner.log("configure");
    return owner.failsNow(tFailingStep::configure) ? kFakeFailure : 0;
}
const zosysParametersOperations kParametersOperations = {
    FAKE_BASE_OPERATIONS(zosysParameters), {}, configure};

zosysStatus openConnection(zosysFramework* self, const wchar_t*, int32_t, zosysParameters*,
                           zosysConnection** connection) {
    return handOut(*objectOf(self)->owner, "openConnection", tFailingStep::openConnection,
                   tFailingStep::connectionIsNull, &kConnectionOperations, "connection",
                   connection);
}
zosysStatus createParameters(zosysFramework* self, zosysParameters** parameters) {
    return handOut(*objectOf(self)->owner, "createParameters", tFailingStep::createParameters,
                   tFailingStep::none, &kParametersOperations, "parameters", parameters);
}
const zosysFrameworkOperations kFrameworkOperations = {
    FAKE_BASE_OPERATIONS(zosysFramework), nullptr, openConnection, {}, createParameters};

}  // namespace

tFakeFramework::tFakeFramework(tFailingStep failingStep_, int failingAttempts_, int32_t setting_)
    : failingStep(failingStep_), failingAttempts(failingAttempts_), setting(setting_) {}

tFakeFramework::~tFakeFramework() {
    for (tObject* object : objects) {
        delete object;
    }
}

zoKorvoRemoteService::tDeploymentQuerySeams tFakeFramework::seams() {
    auto instantiate = [this](int32_t, uint32_t, zosysFramework** framework) {
        startAttempt();
        return handOut(*this, "instantiate", tFailingStep::instantiate,
                       tFailingStep::instantiateGivesNull, &kFrameworkOperations, "framework",
                       framework);
    };
    auto pause = [this](uint32_t ms) { log("pause " + std::to_string(ms)); };
    return {instantiate, pause};
}

zosysSettings* tFakeFramework::newSettings(const std::string& name, zosysSettings* answersAs) {
    tObject* object = create(&kSettingsOperations, name);
    object->answersAs = answersAs;
    return faceOf<zosysSettings>(object);
}

bool tFakeFramework::failsNow(tFailingStep step) const {
    return step != tFailingStep::none && step == failingStep && attempts <= failingAttempts;
}

tFakeFramework::tObject* tFakeFramework::create(const void* operations, const std::string& name) {
    objects.push_back(new tObject{operations, this, name, 1, nullptr});
    return objects.back();
}

void tFakeFramework::forget(tObject* object) {
    objects.erase(std::find(objects.begin(), objects.end(), object));
    delete object;
}

int tFakeFramework::referencesOf(const void* face) const {
    auto found = std::find(objects.begin(), objects.end(), face);
    return found == objects.end() ? 0 : (*found)->references;
}

int tFakeFramework::liveReferences() const {
    int live = 0;
    for (const tObject* object : objects) {
        live += object->references;
    }
    return live;
}

}  // namespace zotest
