// The deployment permission query: asks the machine's system configuration
// framework (libzosysapi.so.1) whether remote deployment is allowed.
//
// isDeploymentAllowed() makes up to seven attempts to reach the framework's
// settings, pausing 10 seconds after each failed one, then reads the one
// boolean setting. Every framework object it obtains is held by a
// tSystemObjectReference and released before it returns or throws; no
// reference outlives the call.
// Threads: meant for the main thread; it keeps no state between calls.
// Failures: throws CannotInitSystemFramework when no attempt reached the
// settings and DeploymentSettingNotFound when the setting cannot be read;
// std::bad_alloc passes through.
#ifndef ZOKORVO_DEPLOYMENTPERMISSION_H
#define ZOKORVO_DEPLOYMENTPERMISSION_H

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

#include "zosysapi.h"

// Marks a function that calls an object's operation through the table of
// another interface than the one the callee is typed for (see identityOf).
#if defined(__clang__)
#define ZO_CALLS_ACROSS_THE_FRAMEWORK_INTERFACE __attribute__((no_sanitize("function")))
#else
#define ZO_CALLS_ACROSS_THE_FRAMEWORK_INTERFACE
#endif

namespace zoKorvoRemoteService {

// The bit of the service's capability mask that the deployment permission
// controls.
constexpr uint32_t kDeploymentCapability = 0x2;

// Attempts to reach the framework's settings before the query gives up.
constexpr uint32_t kDeploymentAttempts = 7;

class CannotInitSystemFramework : public virtual std::runtime_error {
  public:
    CannotInitSystemFramework() : std::runtime_error("Cannot init system framework") {}
};

class DeploymentSettingNotFound : public virtual std::runtime_error {
  public:
    DeploymentSettingNotFound() : std::runtime_error("Deployment setting not found") {}
};

// Holds one reference on a framework object of type T (zosysFramework,
// zosysSettings, ...) and releases it when destroyed. Assigning an object that
// is the same object as the held one, judged by the identity each answers for
// the base interface, keeps the held reference; any other object gets an added
// reference and the held one is released.
template <typename T>
class tSystemObjectReference {
  public:
    tSystemObjectReference() = default;
    ~tSystemObjectReference() { reset(); }
    tSystemObjectReference(const tSystemObjectReference&) = delete;
    tSystemObjectReference& operator=(const tSystemObjectReference&) = delete;
    tSystemObjectReference(tSystemObjectReference&& other) noexcept
        : object(std::exchange(other.object, nullptr)) {}
    tSystemObjectReference& operator=(tSystemObjectReference&& other) noexcept {
        if (this != &other) {
            reset();
            object = std::exchange(other.object, nullptr);
        }
        return *this;
    }

    // Applies the identity rule above; a null object empties the holder.
    void assign(T* other) {
        if (other != nullptr && object != nullptr && isSameObject(object, other)) {
            return;
        }
        if (other != nullptr) {
            other->operations->addReference(other);
        }
        reset();
        object = other;
    }

    // The out pointer for a call that hands over a reference; releases the
    // held one first so that it cannot leak.
    T** receive() {
        reset();
        return &object;
    }

    void reset() {
        if (object != nullptr) {
            T* released = std::exchange(object, nullptr);
            released->operations->releaseReference(released);
        }
    }

    T* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }

  private:
    // The pointer an object answers for the base interface, or null when it
    // does not answer. The answer's added reference is dropped at once: the
    // caller holds both objects, so the pointer stays comparable.
    // The answer is released through the base interface's table, as the
    // framework's binary interface has it, while the object's own function may
    // be typed for its full interface; clang's function-type check would flag
    // that call, which is sound at the C level the framework is written at.
    ZO_CALLS_ACROSS_THE_FRAMEWORK_INTERFACE static const void* identityOf(T* candidate) {
        static const zosysInterfaceId kBaseInterface = ZOSYS_BASE_INTERFACE_ID_INIT;
        void* answer = nullptr;
        if (candidate->operations->queryInterface(candidate, &kBaseInterface, &answer) < 0 ||
            answer == nullptr) {
            return nullptr;
        }
        auto* base = static_cast<zosysObject*>(answer);
        base->operations->releaseReference(base);
        return answer;
    }

    static bool isSameObject(T* held, T* other) {
        if (held == other) {
            return true;
        }
        const void* heldIdentity = identityOf(held);
        return heldIdentity != nullptr && heldIdentity == identityOf(other);
    }

    T* object = nullptr;
};

// What the query calls outside itself, so that tests can replace the
// framework's entry point and the pause between attempts.
struct tDeploymentQuerySeams {
    std::function<zosysStatus(int32_t mode, uint32_t options, zosysFramework** framework)>
        instantiateFramework;
    std::function<void(uint32_t milliseconds)> pause;
};

// The framework's own entry point and sleepMilliseconds.
tDeploymentQuerySeams systemDeploymentQuerySeams();

// True when the framework's deployment setting reads non-zero.
bool isDeploymentAllowed();
bool isDeploymentAllowed(const tDeploymentQuerySeams& seams);

// Sleeps ms milliseconds with nanosleep, sleeping again for the remaining time
// when a signal interrupts it; any other failure ends the sleep early.
void sleepMilliseconds(uint32_t ms);

}  // namespace zoKorvoRemoteService

#endif  // ZOKORVO_DEPLOYMENTPERMISSION_H
