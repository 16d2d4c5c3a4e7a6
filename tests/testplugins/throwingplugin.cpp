// A test plugin written in C++, whose entry points throw as such a plugin
// may. ThrowingInit and ThrowingStop throw an int, ThrowingStandardStop a
// std::runtime_error. The others throw exception classes of the plugin's
// own, whose type information and destructors lie in this library alone:
// ThrowingFault* a tDeviceFault (a std::runtime_error), ThrowingOddity* a
// tPluginOddity (nothing standard), from Initialize, Stop and Cleanup as
// their names say; these log their calls as "thrower <step>" (testplugin.c).
// The passes must fail that plugin's step alone.
// ThrowingTerminateLaterInit starts a thread whose exception nobody catches
// (std::terminate() 300 ms later); ThrowingExitLaterInit one that calls
// exit(3) 500 ms later while a static object of the plugin's has a destructor.
// Built with HOLD_UNIQUE it also has ThrowingUniqueInit, whose inline
// function's static object GCC makes a GNU unique symbol (unless built with
// -fno-gnu-unique): the loader then never unloads the library.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

extern "C" void zoTestPluginLog(const char* entry);

namespace {

// Out-of-line virtual members: the class's type information is emitted here.
class tDeviceFault : public std::runtime_error {
  public:
    explicit tDeviceFault(const char* what) : std::runtime_error(what) {}
    ~tDeviceFault() override;
    virtual int device() const;
};

tDeviceFault::~tDeviceFault() = default;

int tDeviceFault::device() const {
    return 7;
}

class tPluginOddity {
  public:
    explicit tPluginOddity(std::string what) : text(std::move(what)) {}
    virtual ~tPluginOddity();
    virtual const std::string& describe() const;

  private:
    std::string text;
};

tPluginOddity::~tPluginOddity() = default;

const std::string& tPluginOddity::describe() const {
    return text;
}

[[noreturn]] void throwFault(const char* step) {
    zoTestPluginLog(step);
    throw tDeviceFault("the device went away");
}

[[noreturn]] void throwOddity(const char* step) {
    zoTestPluginLog(step);
    throw tPluginOddity("something odd");
}

// Destroyed by exit(), like any plugin's static object.
const std::string kStaticName = std::to_string(42) + " objects";

void startDetached(std::chrono::milliseconds after, void (*then)()) {
    std::thread([after, then] {
        std::this_thread::sleep_for(after);
        then();
    }).detach();
}

}  // namespace

#ifdef HOLD_UNIQUE
inline std::string& uniqueName() {
    static std::string name = "unique";
    return name;
}
#endif

extern "C" {

#ifdef HOLD_UNIQUE
int32_t ThrowingUniqueInit() {
    zoTestPluginLog("Initialize");
    return uniqueName().empty() ? -1 : 0;
}
#endif

int32_t ThrowingTerminateLaterInit() {
    zoTestPluginLog("Initialize");
    startDetached(std::chrono::milliseconds(300),
                  [] { throw tDeviceFault("nobody catches this"); });
    return 0;
}

int32_t ThrowingExitLaterInit() {
    zoTestPluginLog("Initialize");
    if (kStaticName.empty()) {
        return -1;
    }
    startDetached(std::chrono::milliseconds(500), [] { std::exit(3); });
    return 0;
}

int32_t ThrowingInit() {
    throw 7;
}

void ThrowingStop() {
    throw 7;
}

void ThrowingStandardStop() {
    throw std::runtime_error("the device went away");
}

int32_t ThrowingFaultInit() {
    throwFault("Initialize");
}

int32_t ThrowingOddityInit() {
    throwOddity("Initialize");
}

void ThrowingFaultStop() {
    throwFault("Stop");
}

void ThrowingOddityStop() {
    throwOddity("Stop");
}

void ThrowingFaultCleanup() {
    throwFault("Cleanup");
}

void ThrowingOddityCleanup() {
    throwOddity("Cleanup");
}

// The entry points that do not throw, for the steps a case leaves alone.
int32_t ThrowingQuietInit() {
    zoTestPluginLog("Initialize");
    return 0;
}

void ThrowingQuietStop() {
    zoTestPluginLog("Stop");
}

void ThrowingQuietCleanup() {
    zoTestPluginLog("Cleanup");
}
}
