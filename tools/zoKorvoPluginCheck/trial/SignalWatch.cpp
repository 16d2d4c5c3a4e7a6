#include "SignalWatch.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <string.h>
#include <ucontext.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace nPluginCheck {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kStopSignals[] = {SIGINT, SIGTERM};

// Where a plugin's library lies in memory, published for the fault reporter,
// which must not ask the loader: the loader's lock may be held by the
// thread that faulted, or by another one that never lets go.
struct tLibraryRange {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};  // 0: no library
    char file[512] = "";
};

tReportChannel* faultChannel = nullptr;
size_t faultPlugins = 0;
std::unique_ptr<tLibraryRange[]> libraryRanges;  // per plugin

// The address range of the loaded object that holds `address`.
struct tObjectSearch {
    uintptr_t address = 0;
    uintptr_t start = 0;
    uintptr_t end = 0;
};

int findObject(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<tObjectSearch*>(data);
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            low = std::min<uintptr_t>(low, info->dlpi_addr + segment.p_vaddr);
            high = std::max<uintptr_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
        }
    }
    if (search->address < low || search->address >= high) {
        return 0;
    }
    search->start = low;
    search->end = high;
    return 1;
}

bool isFaultSignal(int signal) {
    for (int fault : kFaultSignals) {
        if (signal == fault) {
            return true;
        }
    }
    return false;
}

const void* handlerOf(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<const void*>(action.sa_sigaction)
                                               : reinterpret_cast<const void*>(action.sa_handler);
}

bool isHandler(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 ||
           (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
}

// The address of the instruction that faulted, or the faulting data address
// where the machine's context is not known here.
const void* faultingCode(const siginfo_t* info, void* context) {
    (void)info;
#if defined(__x86_64__)
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the register holds an address
    return reinterpret_cast<const void*>(
        static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the register holds an address
    return reinterpret_cast<const void*>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
#else
    (void)context;
    return info->si_addr;  // where the fault's data lay: the best there is here
#endif
}

// Copies `text` into `out` with what would need escaping in JSON replaced.
void copyPlain(const char* text, char* out, size_t size) {
    size_t at = 0;
    for (; text != nullptr && text[at] != '\0' && at + 1 < size; ++at) {
        const char c = text[at];
        out[at] = c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
    out[at] = '\0';
}

// The plugin whose library holds `code`, or faultPlugins for none.
size_t pluginHolding(uintptr_t code) {
    for (size_t i = 0; i < faultPlugins; ++i) {
        const tLibraryRange& range = libraryRanges[i];
        const uintptr_t end = range.end.load(std::memory_order_acquire);
        if (end != 0 && code >= range.start.load(std::memory_order_relaxed) && code < end) {
            return i;
        }
    }
    return faultPlugins;
}

// The plugin whose library holds one of the faulting thread's callers: an
// abort() or a std::terminate() faults in the C library, called from the
// plugin's code. backtrace() was called once when the reporter was
// installed, so that it loads nothing now.
size_t pluginAmongCallers() {
    void* frames[64];
    const int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
        // A return address points after the call: one byte back is inside it.
        const size_t plugin = pluginHolding(reinterpret_cast<uintptr_t>(frames[i]) - 1);
        if (plugin < faultPlugins) {
            return plugin;
        }
    }
    return faultPlugins;
}

// Runs on the faulting thread with the process in an unknown state: it
// compares the faulting code's address, and then its callers', with the
// plugins' libraries, writes one frame and lets the signal end the process.
// It takes no lock.
void reportFault(int signal, siginfo_t* info, void* context) {
    const auto code = reinterpret_cast<uintptr_t>(faultingCode(info, context));
    char message[768];
    snprintf(message, sizeof message, "{\"event\":\"fault\",\"signal\":%d}", signal);
    size_t plugin = pluginHolding(code);
    if (plugin == faultPlugins) {
        plugin = pluginAmongCallers();
    }
    if (plugin < faultPlugins) {
        snprintf(message, sizeof message,
                 "{\"event\":\"fault\",\"plugin\":%zu,\"signal\":%d,\"library\":\"%s\"}", plugin,
                 signal, libraryRanges[plugin].file);
    }
    char frame[1024];
    if (faultChannel != nullptr) {
        faultChannel->send(message, frame, sizeof frame);
    }
    // SA_RESETHAND put the default action back: the signal ends the process
    // now, and a real fault would again when the instruction is retried.
    raise(signal);
}

struct sigaction faultReporterAction() {
    struct sigaction action = {};
    action.sa_sigaction = reportFault;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return action;
}

// A stack for the reporter, so that it still runs when the main thread's
// stack overflowed.
void giveReporterAStack() {
    static char stack[64 * 1024];
    stack_t alternate = {};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    sigaltstack(&alternate, nullptr);
}

}  // namespace

std::string signalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation == nullptr ? std::to_string(signal) : std::string("SIG") + abbreviation;
}

tSignalState takeSignalState() {
    tSignalState state = {};
    pthread_sigmask(SIG_BLOCK, nullptr, &state.blocked);
    for (int signal = 1; signal < NSIG; ++signal) {
        sigaction(signal, nullptr, &state.actions[signal]);
    }
    return state;
}

std::vector<std::string> signalChanges(const tSignalState& before, const tSignalState& after) {
    std::vector<std::string> changes;
    for (int signal : kStopSignals) {
        if (sigismember(&after.blocked, signal) == 1 && sigismember(&before.blocked, signal) != 1) {
            changes.push_back("blocked " + signalName(signal) +
                              " on the thread that calls its entry points: the service would "
                              "never learn of its stop");
        }
        if (isHandler(after.actions[signal]) &&
            handlerOf(after.actions[signal]) != handlerOf(before.actions[signal])) {
            changes.push_back("installed a handler for " + signalName(signal) +
                              ": the service would never learn of its stop");
        }
    }
    const struct sigaction reporter = faultReporterAction();
    for (int signal : kFaultSignals) {
        if (handlerOf(after.actions[signal]) != handlerOf(reporter)) {
            changes.push_back("installed an action of its own for " + signalName(signal) +
                              " (the trial put its own back, so that a crash is still seen)");
            sigaction(signal, &reporter, nullptr);
        }
    }
    return changes;
}

std::vector<std::string> handlersIntoClosedLibraries() {
    std::vector<std::string> found;
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action = {};
        Dl_info where = {};
        if (isFaultSignal(signal) || sigaction(signal, nullptr, &action) != 0 ||
            !isHandler(action) || dladdr(handlerOf(action), &where) != 0) {
            continue;
        }
        found.push_back("left the handler of " + signalName(signal) +
                        " pointing into its closed library (its signal would crash the service)");
        struct sigaction defaultAction = {};
        defaultAction.sa_handler = SIG_DFL;
        sigaction(signal, &defaultAction, nullptr);
    }
    return found;
}

void installFaultReporter(tReportChannel& channel, size_t plugins) {
    faultChannel = &channel;
    libraryRanges = std::make_unique<tLibraryRange[]>(plugins);
    faultPlugins = plugins;
    giveReporterAStack();
    // Loads the unwinder now (not safe in a handler) without walking any
    // stack: a walk would read the unwind tables of every library on it.
    void* frame = nullptr;
    backtrace(&frame, 0);
    const struct sigaction reporter = faultReporterAction();
    for (int signal : kFaultSignals) {
        sigaction(signal, &reporter, nullptr);
    }
}

void notePluginLibrary(size_t plugin, const void* addressInside, const std::string& file) {
    tObjectSearch search;
    search.address = reinterpret_cast<uintptr_t>(addressInside);
    if (plugin >= faultPlugins || dl_iterate_phdr(findObject, &search) == 0) {
        return;
    }
    tLibraryRange& range = libraryRanges[plugin];
    copyPlain(file.c_str(), range.file, sizeof range.file);
    range.start.store(search.start, std::memory_order_relaxed);
    range.end.store(search.end, std::memory_order_release);
}

void forgetPluginLibrary(size_t plugin) {
    if (plugin < faultPlugins) {
        libraryRanges[plugin].end.store(0, std::memory_order_release);
    }
}

}  // namespace nPluginCheck
