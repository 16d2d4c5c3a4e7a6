#include "TrialChild.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>

#include "ProcessSnapshot.h"
#include "TrialEvents.h"
#include "tPluginManager.h"
#include "zoerr/Status.h"

namespace nPluginCheck {
namespace {

// How long a thread that is ending right after the close may take to be
// gone: a joined thread's entry leaves /proc a moment after the join.
constexpr int kThreadEndChecks = 20;
constexpr long kThreadEndCheckNs = 10L * 1000 * 1000;

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

// The file the loader opened for `path`, asked of the loader itself, so a
// bare name finds the file its search found. Opens nothing new.
std::string loadedLibraryFile(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return "";
    }
    const link_map* map = nullptr;
    std::string file;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        file = canonicalPath(map->l_name);
    }
    dlclose(handle);
    return file;
}

void writeWhole(int descriptor, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t result = write(descriptor, text.data() + written, text.size() - written);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            return;
        }
        written += static_cast<size_t>(result);
    }
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
    tTrialObserver(int pipe, const tPluginManager& pluginManager, size_t plugins)
        : eventPipe(pipe),
          manager(pluginManager),
          before(plugins),
          libraryFile(plugins),
          codeRan(plugins, false) {}

    void stepBegins(const tPluginRecord& record, tPluginStep step) noexcept override {
        guarded([&] {
            const size_t plugin = positionOf(record);
            if (step == tPluginStep::initialize) {
                before[plugin] = takeProcessSnapshot();
                if (record.description.path.find('/') != std::string::npos) {
                    libraryFile[plugin] = canonicalPath(record.description.path);
                }
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
            send(event);
            if (step == tPluginStep::cleanup && codeRan[plugin]) {
                // A thread left in the closed library may crash the process
                // while it is looked for: the parent then knows whose it is.
                event.kind = tTrialEventKind::checking;
                send(event);
                reportLeftovers(plugin);
            }
        });
    }

    void send(const tTrialEvent& event) { writeWhole(eventPipe, encodeTrialEvent(event)); }

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
        return static_cast<size_t>(&record - manager.getRecords().data());
    }

    // Only a plugin whose library was opened ran code of its own (its
    // constructors at least); a refused one left nothing behind.
    void noteInitialize(const tPluginRecord& record, size_t plugin) {
        codeRan[plugin] = record.initializeCode != zoerr::kFeatureUnsupported &&
                          record.initializeCode != zoerr::kResourceNotFound;
        if (libraryFile[plugin].empty() && record.library.library.isLoaded()) {
            libraryFile[plugin] = loadedLibraryFile(record.description.path);
        }
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
        if (event.leftovers.empty()) {
            return;
        }
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

    const int eventPipe;
    const tPluginManager& manager;
    std::vector<tProcessSnapshot> before;  // per plugin, before its Initialize
    std::vector<std::string> libraryFile;  // per plugin, canonical; empty: unknown
    std::vector<bool> codeRan;             // per plugin
    tProcessSnapshot reported;             // named by a report already
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

// A crash ends the child by its signal, whatever handler the checker's own
// runtime (a sanitizer's, say) installed: the report names the signal.
void restoreDefaultCrashActions() {
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        sigaction(signal, &defaultAction, nullptr);
    }
}

}  // namespace

void runTrialChild(int eventPipe, std::vector<tPluginDescription> plan, uint32_t capabilityMask) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    redirectStandardStreams();
    restoreDefaultCrashActions();
    tPluginManager manager;
    tTrialObserver observer(eventPipe, manager, plan.size());
    manager.setStepObserver(&observer);
    tTrialEvent end;
    try {
        manager.startPlugins(std::move(plan), capabilityMask);
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
