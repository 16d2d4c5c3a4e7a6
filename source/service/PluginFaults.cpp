#include "service/PluginFaults.h"

#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>

#include "system/DatagramSocket.h"
#include "reports/Journal.h"

namespace {

// Enough for thousands of plugins; a library beyond it is only found by the
// step it runs in.
constexpr size_t kMaxLibraries = 4096;
// A name longer than this is cut in the crash line.
constexpr size_t kNameBytes = 128;
// How long the service's reports may take to be free for an exit's line
// before the hook writes it itself: a main thread busy with its own work
// frees them within milliseconds; one stuck in the deployment query does not.
constexpr unsigned kReporterWaitMs = 5000;
// A second crashing thread gives the first this long to finish its report.
constexpr long kSecondCrashWaitMs = 2000;
// The handler's stack on the main thread: a crash by stack overflow has none left.
constexpr size_t kAlternateStackBytes = size_t{64} * 1024;

// Initialised as constants, so that the table costs no memory until used.
struct tMappedLibrary {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    char name[kNameBytes] = {};
};

tMappedLibrary libraries[kMaxLibraries];
// Slots below this may be in use.
std::atomic<size_t> librariesUsed{0};
// No slot below this is free: libraries are mapped in start order and
// unmapped in reverse, so the search for a slot starts here.
size_t firstFreeSlot = 0;

std::atomic<const std::string*> stepPluginName{nullptr};
std::atomic<int> stepNow{0};

char statusPath[PATH_MAX];
char statusTemporaryPath[PATH_MAX];
std::atomic<size_t> statusMessagesEnd{SIZE_MAX};
std::atomic<tDatagramSocket*> journalSocket{nullptr};
std::atomic<tFaultReporter*> faultReporter{nullptr};
std::atomic<bool> endingInOrder{false};
std::atomic<bool> crashReported{false};
pid_t mainThreadId = 0;
alignas(16) char alternateStack[kAlternateStackBytes];

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

bool onMainThread() {
    return static_cast<pid_t>(syscall(SYS_gettid)) == mainThreadId;
}

// Appends NUL-terminated text to a fixed buffer, cutting what does not fit;
// safe in a signal handler.
class tFixedText {
  public:
    tFixedText(char* buffer, size_t bytes) : data(buffer), size(bytes) { data[0] = '\0'; }
    tFixedText& add(const char* text) {
        while (*text != '\0' && used + 1 < size) {
            data[used++] = *text++;
        }
        data[used] = '\0';
        return *this;
    }
    tFixedText& addNumber(int value) {
        char digits[16];
        size_t count = 0;
        unsigned magnitude = value < 0 ? 0U - static_cast<unsigned>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0 && count < sizeof digits);
        if (value < 0) {
            add("-");
        }
        char reversed[2] = {0, 0};
        while (count > 0) {
            reversed[0] = digits[--count];
            add(reversed);
        }
        return *this;
    }
    const char* text() const { return data; }
    size_t length() const { return used; }

  private:
    char* data;
    size_t size;
    size_t used = 0;
};

const char* signalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "a signal";
    }
}

// The plugin whose library holds `address`, or null.
const char* pluginAt(uintptr_t address) {
    const size_t used = librariesUsed.load();
    for (size_t i = 0; i < used && i < kMaxLibraries; ++i) {
        if (address >= libraries[i].start.load() && address < libraries[i].end.load()) {
            return libraries[i].name;
        }
    }
    return nullptr;
}

// The plugin whose library holds one of the calling thread's callers, or
// null. backtrace() was called once at install, so that it loads nothing now.
const char* pluginAmongCallers() {
    void* frames[64];
    const int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
        // A return address points after the call: one byte back is inside it.
        const char* plugin = pluginAt(reinterpret_cast<uintptr_t>(frames[i]) - 1);
        if (plugin != nullptr) {
            return plugin;
        }
    }
    return nullptr;
}

uintptr_t instructionAddress(const void* context) {
    const auto* machine = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(machine->uc_mcontext.pc);
#else
    (void)machine;
    return 0;
#endif
}

void copyBytes(int from, int to, size_t limit) {
    char buffer[4096];
    while (limit > 0) {
        const ssize_t got = read(from, buffer, limit < sizeof buffer ? limit : sizeof buffer);
        if (got <= 0) {
            return;
        }
        if (write(to, buffer, static_cast<size_t>(got)) != got) {
            return;
        }
        limit -= static_cast<size_t>(got);
    }
}

// Inserts `line` where the messages of the status file last written end,
// through the temporary file and a rename: the status as it was, and the line.
void insertStatusLine(const char* line) {
    if (statusPath[0] == '\0') {
        return;
    }
    const int out = open(statusTemporaryPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        return;
    }
    const int in = open(statusPath, O_RDONLY | O_CLOEXEC);
    if (in >= 0) {
        copyBytes(in, out, statusMessagesEnd.load());
    }
    (void)write(out, line, strlen(line));
    (void)write(out, "\n", 1);
    if (in >= 0) {
        copyBytes(in, out, SIZE_MAX);
        close(in);
    }
    close(out);
    rename(statusTemporaryPath, statusPath);
}

// One journal record at priority 2, built without allocating.
void sendJournalRecord(tJournalEvent event, const char* line, const char* plugin,
                       const char* signal) {
    tDatagramSocket* socket = journalSocket.load();
    if (socket == nullptr) {
        return;
    }
    char buffer[1024];
    tFixedText record(buffer, sizeof buffer);
    record.add("MESSAGE=").add(line).add("\nPRIORITY=2\nMESSAGE_ID=");
    record.add(journalMessageId(event)).add("\nSYSLOG_IDENTIFIER=zoKorvoRemoteService\n");
    if (plugin != nullptr) {
        record.add("PLUGIN=").add(plugin).add("\n");
    }
    if (signal != nullptr) {
        record.add("SIGNAL=").add(signal).add("\n");
    }
    socket->sendWithoutLocking(record.text(), record.length());
}

void reraise(int signal) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);
}

void reportCrash(int signal, const void* context) {
    const char* where = "in its own code";
    const char* plugin = pluginAt(instructionAddress(context));
    if (plugin == nullptr) {
        where = "in code it called";
        plugin = pluginAmongCallers();
    }
    char during[64];
    const std::string* stepName = stepPluginName.load();
    if (plugin == nullptr && stepName != nullptr && onMainThread()) {
        plugin = stepName->c_str();
        tFixedText(during, sizeof during)
            .add("during its ")
            .add(pluginStepName(static_cast<tPluginStep>(stepNow.load())));
        where = during;
    }
    char buffer[512];
    nPluginFaults::crashLine(buffer, sizeof buffer, plugin, signal, where);
    insertStatusLine(buffer);
    sendJournalRecord(tJournalEvent::pluginCrashed, buffer, plugin, signalName(signal));
}

void onCrash(int signal, siginfo_t*, void* context) {
    const int savedErrno = errno;
    if (!crashReported.exchange(true)) {
        reportCrash(signal, context);
    } else {
        // Another thread reports its crash: let it finish before this one ends all.
        struct timespec pause = {kSecondCrashWaitMs / 1000, (kSecondCrashWaitMs % 1000) * 1000000};
        nanosleep(&pause, nullptr);
    }
    errno = savedErrno;
    reraise(signal);
}

void onExit(bool quick, int status) {
    if (endingInOrder.load()) {
        return;
    }
    const char* plugin = nullptr;
    tPluginStep step = tPluginStep::initialize;
    bool inStep = false;
    if (onMainThread()) {
        const std::string* name = stepPluginName.load();
        if (name == nullptr) {
            return;  // the service's own end
        }
        plugin = name->c_str();
        step = static_cast<tPluginStep>(stepNow.load());
        inStep = true;
    } else {
        plugin = pluginAmongCallers();
    }
    static std::atomic<bool> reporting{false};
    if (reporting.exchange(true)) {
        // Another thread reports and ends the process.
        for (;;) {
            pause();
        }
    }
    std::string line;
    try {
        line = nPluginFaults::exitLine(plugin, quick, status, inStep ? &step : nullptr);
    } catch (...) {
        line = "A plugin called exit";
    }
    tFaultReporter* reporter = faultReporter.load();
    if (reporter == nullptr ||
        !reporter->reportPluginExit(plugin != nullptr ? plugin : "", line, kReporterWaitMs)) {
        insertStatusLine(line.c_str());
        sendJournalRecord(tJournalEvent::pluginExited, line.c_str(), plugin, nullptr);
    }
    _exit(kPluginExitStatus);
}

void onExitCalled(int status, void*) {
    onExit(false, status);
}

void onQuickExitCalled() {
    onExit(true, 0);
}

void copyPath(char* to, const std::string& from) {
    if (from.size() < PATH_MAX) {
        memcpy(to, from.c_str(), from.size() + 1);
    } else {
        to[0] = '\0';
    }
}

}  // namespace

namespace nPluginFaults {

void install(const std::string& status, const std::string& statusTemporary) {
    copyPath(statusPath, status);
    copyPath(statusTemporaryPath, statusTemporary);
    mainThreadId = static_cast<pid_t>(syscall(SYS_gettid));
    // Loads the unwinder now (not safe in a handler) without walking any
    // stack: a walk would read the unwind tables of every library on it.
    void* frame = nullptr;
    backtrace(&frame, 0);
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = onCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (const int signal : kCrashSignals) {
        sigaction(signal, &action, nullptr);
    }
    registerExitHooksAgain();
}

void registerExitHooksAgain() {
    // Either fails only when no memory is left for the entry: a plugin's exit
    // then goes unnamed, and nothing else changes.
    static_cast<void>(on_exit(onExitCalled, nullptr));
    static_cast<void>(at_quick_exit(onQuickExitCalled));
}

void setReporter(tFaultReporter* reporter) {
    faultReporter.store(reporter);
}

void setJournal(tDatagramSocket* socket) {
    journalSocket.store(socket);
}

void statusWritten(size_t messagesEnd) {
    statusMessagesEnd.store(messagesEnd);
}

void stepBegins(const std::string& name, tPluginStep step) {
    stepNow.store(static_cast<int>(step));
    stepPluginName.store(&name);
}

void stepEnded() {
    stepPluginName.store(nullptr);
}

void recordsMoving() {
    stepPluginName.store(nullptr);
}

void libraryMapped(const std::string& name, uintptr_t start, uintptr_t end) {
    size_t slot = firstFreeSlot;
    const size_t used = librariesUsed.load();
    while (slot < used && libraries[slot].end.load() != 0) {
        ++slot;
    }
    if (slot >= kMaxLibraries) {
        return;
    }
    // Unused while its end is 0: the handler skips it until it is complete.
    libraries[slot].end.store(0);
    libraries[slot].start.store(start);
    const size_t length = name.size() < kNameBytes - 1 ? name.size() : kNameBytes - 1;
    memcpy(libraries[slot].name, name.data(), length);
    libraries[slot].name[length] = '\0';
    libraries[slot].end.store(end);
    if (slot == used) {
        librariesUsed.store(used + 1);
    }
    firstFreeSlot = slot + 1;
}

void libraryUnmapped(uintptr_t start) {
    // The last mapped is the first unmapped, as a rule: search from the end.
    for (size_t i = librariesUsed.load(); i > 0; --i) {
        tMappedLibrary& library = libraries[i - 1];
        if (library.start.load() == start && library.end.load() != 0) {
            library.end.store(0);
            firstFreeSlot = std::min(firstFreeSlot, i - 1);
            return;
        }
    }
}

void orderlyEnd() {
    endingInOrder.store(true);
}

std::string exitLine(const char* plugin, bool quick, int status, const tPluginStep* step) {
    std::string line = plugin != nullptr ? std::string("Plugin ") + plugin : "A plugin";
    line += quick ? " called quick_exit" : " called exit(" + std::to_string(status) + ")";
    if (step != nullptr) {
        line += std::string(" in ") + pluginStepName(*step);
    } else if (plugin != nullptr) {
        line += " from a thread of its own";
    } else {
        line += " from a thread the service cannot place";
    }
    return line;
}

size_t crashLine(char* out, size_t size, const char* plugin, int signal, const char* where) {
    tFixedText line(out, size);
    if (plugin != nullptr) {
        line.add("Plugin ")
            .add(plugin)
            .add(" crashed: ")
            .add(signalName(signal))
            .add(" ")
            .add(where);
    } else {
        line.add("The service crashed: ").add(signalName(signal)).add(" in no plugin's code");
    }
    return line.length();
}

}  // namespace nPluginFaults
