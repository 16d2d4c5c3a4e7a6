#include "TrialChild.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <typeinfo>

#include "safety/LoaderJudgeLink.h"
#include "ProcessSnapshot.h"
#include "ReportChannel.h"
#include "SignalWatch.h"
#include "TrialEvents.h"
#include "plugins/tPluginManager.h"
#include "zoerr/Status.h"

namespace nPluginCheck {
namespace {

// How long a thread that is ending right after the close may take to be
// gone: a joined thread's entry leaves /proc a moment after the join.
constexpr int kThreadEndChecks = 20;
constexpr long kThreadEndCheckNs = 10L * 1000 * 1000;
// Stand-ins for the service's own descriptors (its signal pipe and the like).
constexpr int kStandInDescriptors = 2;

// The stand-in descriptors: in-memory files, so that a plugin's stray write
// to a number it did not open shows as growth.
struct tStandIn {
    int descriptor = -1;
    ino_t inode = 0;
    off_t size = 0;  // as the last step left it
};
tStandIn standIns[kStandInDescriptors];

// "wrote to descriptors it did not open: 3 (5 bytes)", or "" when no
// stand-in grew since the last look; a stand-in closed or replaced is the
// closes' finding, not this one's.
std::string strayWrites() {
    std::string written;
    for (tStandIn& standIn : standIns) {
        struct stat status {};
        if (standIn.descriptor < 0 || fstat(standIn.descriptor, &status) != 0 ||
            status.st_ino != standIn.inode || status.st_size <= standIn.size) {
            continue;
        }
        written += (written.empty() ? "" : ", ") + std::to_string(standIn.descriptor) + " (" +
                   std::to_string(status.st_size - standIn.size) + " bytes)";
        standIn.size = status.st_size;
    }
    return written.empty() ? written : "wrote to descriptors it did not open: " + written;
}

std::string demangled(const char* name) {
    int status = 0;
    const std::unique_ptr<char, decltype(&free)> readable(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &free);
    return status == 0 && readable ? readable.get() : name;
}

// The exception being handled, when it is the plugin's own: "type: what()"
// for a standard exception, the type alone for any other. Empty for the
// service's own errors (admission, dependencies, load, a negative result).
std::string describeCurrentException() {
    try {
        throw;
    } catch (const zoerr::ExceptionBase&) {
        return "";
    } catch (const std::exception& error) {
        return demangled(typeid(error).name()) + ": " + error.what();
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        return type == nullptr ? "an exception of unknown type" : demangled(type->name());
    }
}

std::string canonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) == nullptr ? "" : resolved;
}

struct tLoadedLibrary {
    std::string file;              // canonical; empty: unknown
    const void* inside = nullptr;  // an address in its mapping
};

// The library the loader opened for `path`, asked of the loader itself, so
// a bare name finds the file its search found. Opens nothing new.
tLoadedLibrary loadedLibrary(const std::string& path) {
    tLoadedLibrary loaded;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return loaded;
    }
    const link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        loaded.inside = map->l_ld;
        if (map->l_name != nullptr) {
            loaded.file = canonicalPath(map->l_name);
        }
    }
    dlclose(handle);
    return loaded;
}

// The numbers of the descriptors in `before` that `after` lacks, or that
// now refer to another file: closed, and the number taken again.
std::vector<int> closedSince(const std::map<int, std::string>& before,
                             const std::map<int, std::string>& after) {
    std::vector<int> closed;
    for (const auto& entry : before) {
        const auto now = after.find(entry.first);
        if (now == after.end() || now->second != entry.second) {
            closed.push_back(entry.first);
        }
    }
    return closed;
}

std::string numberList(const std::vector<int>& numbers) {
    std::string list;
    for (int number : numbers) {
        list += (list.empty() ? "" : ", ") + std::to_string(number);
    }
    return list;
}

template <typename Key>
std::vector<std::string> listed(const std::map<Key, std::string>& entries) {
    std::vector<std::string> descriptions;
    descriptions.reserve(entries.size());
    for (const auto& entry : entries) {
        descriptions.push_back(entry.second);
    }
    return descriptions;
}

// Removes from `found` what an earlier report already named.
template <typename Key>
void forgetReported(std::map<Key, std::string>& found, std::map<Key, std::string>& reported) {
    for (auto entry = found.begin(); entry != found.end();) {
        const auto earlier = reported.find(entry->first);
        if (earlier != reported.end() && earlier->second == entry->second) {
            entry = found.erase(entry);
        } else {
            reported[entry->first] = entry->second;
            ++entry;
        }
    }
}

// Of `threads`, those that are still there after a short grace.
std::map<pid_t, std::string> threadsStillRunning(std::map<pid_t, std::string> threads) {
    for (int check = 0; check < kThreadEndChecks && !threads.empty(); ++check) {
        const timespec pause = {0, kThreadEndCheckNs};
        nanosleep(&pause, nullptr);
        const std::map<pid_t, std::string> now = currentThreads();
        for (auto thread = threads.begin(); thread != threads.end();) {
            thread = now.count(thread->first) == 0 ? threads.erase(thread) : std::next(thread);
        }
    }
    return threads;
}

class tTrialObserver : public tPluginStepObserver {
  public:
    tTrialObserver(tReportChannel& reportChannel, const tPluginManager& pluginManager,
                   size_t plugins, uint32_t mask)
        : channel(reportChannel),
          manager(pluginManager),
          capabilityMask(mask),
          before(plugins),
          libraryFile(plugins),
          codeRan(plugins, false),
          opened(plugins) {}

    void stepBegins(const tPluginRecord& record, tPluginStep step) noexcept override {
        guarded([&] {
            const size_t plugin = positionOf(record);
            if (step == tPluginStep::initialize) {
                before[plugin] = takeProcessSnapshot();
                if (record.description.path.find('/') != std::string::npos) {
                    libraryFile[plugin] = canonicalPath(record.description.path);
                }
            }
            stepRuns = step == tPluginStep::initialize || record.library.running();
            signalsBefore = takeSignalState();
            descriptorsBefore = currentDescriptors();
            if (step == tPluginStep::initialize) {
                openAhead(record, plugin);
            }
            send(stepEvent(tTrialEventKind::begins, plugin, step));
        });
    }

    void stepRaised(const tPluginRecord& record, tPluginStep step) noexcept override {
        guarded([&] {
            tTrialEvent event = stepEvent(tTrialEventKind::raised, positionOf(record), step);
            event.step.exception = describeCurrentException();
            if (!event.step.exception.empty()) {
                send(event);
            }
        });
    }

    void stepEnded(const tPluginRecord& record, tPluginStep step) noexcept override {
        guarded([&] {
            const size_t plugin = positionOf(record);
            tTrialEvent event = stepEvent(tTrialEventKind::ended, plugin, step);
            if (step == tPluginStep::initialize) {
                closeOpenedAhead();
                if (record.initializeCode >= 0) {
                    started.insert(record.description.name);
                }
                noteInitialize(record, plugin);
                event.step.code = record.initializeCode;
                event.step.timeMs = record.initializeTimeMs;
            } else if (step == tPluginStep::stop) {
                event.step.code = record.stopCode;
                event.step.timeMs = record.stopTimeMs;
            } else {
                event.step.code = record.cleanupCode;
                event.step.timeMs = record.cleanupTimeMs;
            }
            event.step.ran = step == tPluginStep::initialize ? codeRan[plugin] : stepRuns;
            event.step.findings = findingsOfStep(plugin, step);
            if (step == tPluginStep::initialize &&
                record.initializeCode == zoerr::kInvalidParameter) {
                event.step.findings.push_back(loaderWords(record.description));
            }
            if (step == tPluginStep::cleanup) {
                // Its address range may hold another library from now on.
                forgetPluginLibrary(plugin);
            }
            if (step == tPluginStep::cleanup && codeRan[plugin]) {
                // A thread left in the closed library may crash the process
                // at any moment from the close on: the step's end and the
                // look in one message leave no moment in which the parent
                // would not know whose that crash is.
                event.kind = tTrialEventKind::checking;
                send(event);
                reportLeftovers(plugin);
            } else {
                send(event);
            }
        });
    }

    // A channel the plugins closed or replaced can tell the parent nothing
    // more: the child ends with the status that says so.
    void send(const tTrialEvent& event) {
        if (!channel.send(encodeTrialEvent(event))) {
            _exit(kChannelLostExitStatus);
        }
    }

  private:
    template <typename Work>
    static void guarded(const Work& work) noexcept {
        try {
            work();
        } catch (...) {
            // Out of memory in the child: the parent sees the events so far.
        }
    }

    static tTrialEvent stepEvent(tTrialEventKind kind, size_t plugin, tPluginStep step) {
        tTrialEvent event;
        event.kind = kind;
        event.plugin = plugin;
        event.step.step = step;
        return event;
    }

    size_t positionOf(const tPluginRecord& record) const {
        return static_cast<size_t>(&record - manager.records().data());
    }

    // Only a plugin whose library was opened ran code of its own (its
    // constructors at least); a refused one left nothing behind.
    void noteInitialize(const tPluginRecord& record, size_t plugin) {
        codeRan[plugin] = record.initializeCode != zoerr::kFeatureUnsupported &&
                          record.initializeCode != zoerr::kResourceNotFound;
        if (record.library.library.isLoaded()) {
            const tLoadedLibrary loaded = loadedLibrary(record.description.path);
            if (libraryFile[plugin].empty()) {
                libraryFile[plugin] = loaded.file;
            }
            notePluginLibrary(plugin, loaded.inside, libraryFile[plugin]);
        }
    }

    // Opens the plugin's library as the manager is about to, when it will,
    // so that a crash or hang of its constructors (or of the loader's work)
    // is told apart from one of its Initialize: the parent hears of the
    // opening as a step of its own ("Load"). The manager's own open then
    // only counts the library once more; this one is closed after the step.
    void openAhead(const tPluginRecord& record, size_t plugin) {
        const tPluginDescription& description = record.description;
        if (!managerWillOpen(description) || !tLoaderJudge::get().active()) {
            return;
        }
        tTrialEvent opening = stepEvent(tTrialEventKind::begins, plugin, tPluginStep::initialize);
        opening.opening = true;
        send(opening);
        // By the name the manager opens it by, watched by the loader's judge
        // as the manager's load is: a load with a refused file fails as a
        // whole, before any code of it runs.
        tLoaderJudge& judge = tLoaderJudge::get();
        judge.beginLoad();
        openedAhead = dlopen(description.path.c_str(), RTLD_NOW | RTLD_GLOBAL);
        (void)judge.endLoad();  // the manager's open is refused alike, and says why
        if (openedAhead == nullptr) {
            dlerror();  // the manager's open fails alike, and says so
        }
    }

    // The manager's admission and dependency tests, as it runs them before
    // it opens the library.
    bool managerWillOpen(const tPluginDescription& description) const {
        if (description.path.empty() || !pluginAdmitted(description.requires, capabilityMask)) {
            return false;
        }
        const std::set<std::string> named(description.dependencies.begin(),
                                          description.dependencies.end());
        if (named.size() != description.dependencies.size()) {
            return false;  // a name listed twice never matches
        }
        for (const std::string& dependency : named) {
            if (started.count(dependency) == 0) {
                return false;
            }
        }
        return true;
    }

    void closeOpenedAhead() {
        if (openedAhead != nullptr) {
            dlclose(openedAhead);
            openedAhead = nullptr;
        }
    }

    // Why the library could not be opened or bound, in the loader's words:
    // the manager keeps only the code. The library is asked again, which
    // runs its constructors once more when it opens.
    static std::string loaderWords(const tPluginDescription& description) {
        if (description.path.empty()) {
            return "it has no \"Path\": there is no library to open";
        }
        void* handle = dlopen(description.path.c_str(), RTLD_NOW | RTLD_GLOBAL);
        if (handle == nullptr) {
            const char* text = dlerror();
            return std::string("the loader could not open it: ") + (text != nullptr ? text : "");
        }
        std::string words = "the loader opened it now; it may have failed on what it opened then";
        for (const std::string* name :
             {&description.initializeSymbol, &description.stopSymbol, &description.cleanupSymbol}) {
            if (!name->empty() && dlsym(handle, name->c_str()) == nullptr) {
                const char* text = dlerror();
                words = std::string("the loader found no entry point: ") +
                        (text != nullptr ? text : "");
                break;
            }
        }
        dlclose(handle);
        return words;
    }

    // What the step did to the descriptors and signals the service relies on.
    std::vector<std::string> findingsOfStep(size_t plugin, tPluginStep step) {
        const std::map<int, std::string> descriptorsAfter = currentDescriptors();
        std::vector<int> notItsOwn;
        for (int closed : closedSince(descriptorsBefore, descriptorsAfter)) {
            if (opened[plugin].erase(closed) == 0) {
                notItsOwn.push_back(closed);
            }
        }
        for (const auto& entry : descriptorsAfter) {
            const auto earlier = descriptorsBefore.find(entry.first);
            if (earlier == descriptorsBefore.end() || earlier->second != entry.second) {
                opened[plugin].insert(entry.first);
            }
        }
        std::vector<std::string> findings = signalChanges(signalsBefore, takeSignalState());
        if (!notItsOwn.empty()) {
            findings.push_back("closed descriptors it did not open: " + numberList(notItsOwn));
        }
        std::string written = strayWrites();
        if (!written.empty()) {
            findings.push_back(std::move(written));
        }
        if (step == tPluginStep::cleanup && stepRuns) {
            for (std::string& left : handlersIntoClosedLibraries()) {
                findings.push_back(std::move(left));
            }
        }
        return findings;
    }

    void reportLeftovers(size_t plugin) {
        tProcessSnapshot found = addedSince(before[plugin], takeProcessSnapshot());
        found.threads = threadsStillRunning(std::move(found.threads));
        forgetReported(found.threads, reported.threads);
        forgetReported(found.descriptors, reported.descriptors);
        forgetReported(found.children, reported.children);
        tTrialEvent event;
        event.kind = tTrialEventKind::leftovers;
        event.plugin = plugin;
        event.leftovers.threads = listed(found.threads);
        event.leftovers.descriptors = listed(found.descriptors);
        event.leftovers.processes = listed(found.children);
        if (!libraryFile[plugin].empty() && fileMapped(libraryFile[plugin])) {
            event.leftovers.libraries.push_back(libraryFile[plugin]);
        }
        // Sent even when empty: it ends the look after the close.
        send(event);
        if (!event.leftovers.threads.empty()) {
            // The thread may run the closed library's code at any moment and
            // crash this process; the plugins still open are tried anew.
            event.kind = tTrialEventKind::abandoned;
            send(event);
            fflush(nullptr);
            _exit(0);
        }
    }

    tReportChannel& channel;
    const tPluginManager& manager;
    const uint32_t capabilityMask;
    std::set<std::string> started;         // names whose start step succeeded
    void* openedAhead = nullptr;           // the library opened ahead of the manager
    std::vector<tProcessSnapshot> before;  // per plugin, before its Initialize
    std::vector<std::string> libraryFile;  // per plugin, canonical; empty: unknown
    std::vector<bool> codeRan;             // per plugin
    std::vector<std::set<int>> opened;     // per plugin: descriptors its steps opened
    tProcessSnapshot reported;             // named by a report already
    // Of the step running now:
    bool stepRuns = false;  // the plugin's own code runs in it
    tSignalState signalsBefore = {};
    std::map<int, std::string> descriptorsBefore;
};

// The child's standard input reads nothing; its standard output is the
// checker's standard error.
void redirectStandardStreams() {
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing >= 0) {
        dup2(nothing, STDIN_FILENO);
        close(nothing);
    }
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

// The child keeps no descriptor of the checker's but its standard streams
// and its report channel, as the service has none of its caller's: a plugin
// that writes to every number then writes to the child's own stand-ins, not
// into the checker's (or its caller's) files.
void closeInheritedDescriptors(int eventPipe) {
    if (eventPipe > 3) {
        close_range(3, static_cast<unsigned>(eventPipe) - 1, 0);
    }
    close_range(static_cast<unsigned>(eventPipe) + 1, ~0U, 0);
}

// A crash ends the child by its signal, whatever handler the checker's own
// runtime (a sanitizer's, say) installed: the report names the signal. The
// stop signals are as the service's plugins find them, not the checker's
// interruption watch.
void restoreDefaultSignalActions() {
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGINT, SIGTERM}) {
        sigaction(signal, &defaultAction, nullptr);
    }
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

// Descriptors of the child's own at the lowest free numbers, as the
// service has its own there: a plugin that closes "every descriptor"
// closes these, and one that writes to them, and is told.
void holdStandInDescriptors() {
    for (tStandIn& standIn : standIns) {
        // Held until the child ends.
        standIn.descriptor = memfd_create("zoKorvoPluginCheck stand-in", MFD_CLOEXEC);
        struct stat status {};
        if (standIn.descriptor >= 0 && fstat(standIn.descriptor, &status) == 0) {
            standIn.inode = status.st_ino;
        }
    }
}

// The running phase: the plugins' own threads run, as they would in the
// service between the start and the stop.
void runFor(double seconds) {
    const auto nanoseconds = static_cast<long long>(seconds * 1e9);
    timespec remaining = {static_cast<time_t>(nanoseconds / 1000000000LL),
                          static_cast<long>(nanoseconds % 1000000000LL)};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

void runTrialChild(int eventPipe, const std::string& token, std::vector<tPluginDescription> plan,
                   uint32_t capabilityMask, double runForSeconds) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    redirectStandardStreams();
    closeInheritedDescriptors(eventPipe);
    restoreDefaultSignalActions();
    static tReportChannel channel(eventPipe, token);
    holdStandInDescriptors();
    installFaultReporter(channel, plan.size());
    tPluginManager manager;
    tTrialObserver observer(channel, manager, plan.size(), capabilityMask);
    manager.setStepObserver(&observer);
    tTrialEvent end;
    try {
        manager.startPlugins(std::move(plan), capabilityMask);
        tTrialEvent running;
        running.kind = tTrialEventKind::running;
        observer.send(running);
        runFor(runForSeconds);
        manager.stopPlugins();
        manager.cleanupPlugins();
        end.kind = tTrialEventKind::done;
    } catch (...) {
        // What the service's run cycle does not catch either: the pass ends.
        end.kind = tTrialEventKind::escaped;
        end.step.exception = describeCurrentException();
    }
    observer.send(end);
    fflush(nullptr);
    _exit(0);
}

}  // namespace nPluginCheck
