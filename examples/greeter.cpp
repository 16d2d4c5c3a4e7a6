// The Greeter example plugin, in C++: a plugin that depends on another one and
// reports a warning.
//
// Initialize checks that the Clock's exported zoExampleClockTicks is in the
// service's global symbol scope (the Clock was loaded before it with RTLD_GLOBAL; the
// Dependencies key in greeter.ini guarantees that), reads its greeting from
// the environment variable ZO_EXAMPLE_GREETING and returns 0, or 1 as a
// warning when it had to fall back on its default greeting. No exception
// leaves an entry point: zoKorvoPlugin::guardedInitialize turns one into a
// failure code, zoKorvoPlugin::guarded drops one.
//
// Description file: greeter.ini (Name=Greeter, Dependencies=Clock).
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <zoKorvoRemoteService/zoKorvoPlugin.h>

#include "exampleJournal.h"

namespace {

// Initialize results of the Greeter.
constexpr int32_t kGreeterStarted = ZO_KORVO_PLUGIN_SUCCESS;
constexpr int32_t kGreeterUsesDefaultGreeting = 1;  // a warning: it still runs
constexpr int32_t kGreeterFoundNoClock = -2;
constexpr int32_t kGreeterFailedUnexpectedly = -3;

std::unique_ptr<std::string> greeting;

void journal(const std::string& line) {
    zoExampleJournal(line.c_str());
}

int32_t startGreeter() {
    // A function of another plugin is reached through the global scope,
    // never by linking against that plugin's library.
    if (dlsym(RTLD_DEFAULT, "zoExampleClockTicks") == nullptr) {
        journal("Greeter: the Clock is not loaded");
        return kGreeterFoundNoClock;
    }
    const char* configured = std::getenv("ZO_EXAMPLE_GREETING");
    const bool hasGreeting = configured != nullptr && configured[0] != '\0';
    greeting = std::make_unique<std::string>(hasGreeting ? configured : "Hello from the Greeter");
    journal("Greeter: " + *greeting + (hasGreeting ? "" : " (the default greeting)"));
    return hasGreeting ? kGreeterStarted : kGreeterUsesDefaultGreeting;
}

}  // namespace

ZO_KORVO_PLUGIN_INITIALIZE(zoExampleGreeterInitialize) {
    return zoKorvoPlugin::guardedInitialize(startGreeter, kGreeterFailedUnexpectedly);
}

ZO_KORVO_PLUGIN_STOP(zoExampleGreeterStop) {
    zoKorvoPlugin::guarded([] { journal("Greeter: goodbye"); });
}

ZO_KORVO_PLUGIN_CLEANUP(zoExampleGreeterCleanup) {
    zoKorvoPlugin::guarded([] {
        greeting.reset();
        journal("Greeter: cleaned up");
    });
}
