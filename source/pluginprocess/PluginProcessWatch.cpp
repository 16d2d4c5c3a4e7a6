#include "pluginprocess/PluginProcessWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "reports/Journal.h"
#include "system/ThreadWithoutStopSignals.h"

namespace {

// A line longer than this goes to the journal in pieces, as the journal's
// own stream reader cuts long lines.
constexpr size_t kLongestLine = size_t{48} * 1024;

}  // namespace

struct tPluginProcessWatch::tWatched {
    int process = -1;
    int output = -1;
    std::string plugin;
    std::string pending;  // output read that ends in no line feed yet
};

tPluginProcessWatch::tPluginProcessWatch(std::string journalSocket,
                                         std::function<void()> processEnded)
    : journalSocketPath(std::move(journalSocket)), onEnded(std::move(processEnded)) {}

tPluginProcessWatch::~tPluginProcessWatch() {
    if (thread.joinable()) {
        {
            const std::lock_guard<std::mutex> hold(lock);
            ending = true;
        }
        wake();
        thread.join();
    }
    for (tWatched& watched : added) {
        close(watched.process);
        if (watched.output >= 0) {
            close(watched.output);
        }
    }
    if (wakeDescriptor >= 0) {
        close(wakeDescriptor);
    }
}

void tPluginProcessWatch::wake() {
    const uint64_t one = 1;
    (void)!write(wakeDescriptor, &one, sizeof one);
}

void tPluginProcessWatch::watch(int processDescriptor, int outputDescriptor,
                                const std::string& plugin) {
    tWatched watched;
    watched.process = fcntl(processDescriptor, F_DUPFD_CLOEXEC, 0);
    watched.output = outputDescriptor;
    // Read as far as there is something: a plugin's child that keeps the
    // pipe open must not hold the watcher once the plugin's process ended.
    if (outputDescriptor >= 0) {
        fcntl(outputDescriptor, F_SETFL, fcntl(outputDescriptor, F_GETFL) | O_NONBLOCK);
    }
    watched.plugin = plugin;
    if (watched.process < 0) {
        if (outputDescriptor >= 0) {
            close(outputDescriptor);
        }
        return;
    }
    const std::lock_guard<std::mutex> hold(lock);
    if (wakeDescriptor < 0) {
        wakeDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (!journalSocketPath.empty()) {
            journal = std::make_unique<tJournal>(journalSocketPath);
        }
        thread = startWithoutStopSignals([this] { run(); });
    }
    added.push_back(std::move(watched));
    wake();
}

// Sends every whole line read so far; at the end, also what is left.
void tPluginProcessWatch::forwardOutput(tWatched& watched, bool ended) {
    if (watched.output < 0) {
        return;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(watched.output, buffer, sizeof buffer);
        if (count > 0) {
            watched.pending.append(buffer, static_cast<size_t>(count));
            if (static_cast<size_t>(count) < sizeof buffer) {
                break;
            }
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count == 0) {
            ended = true;  // every writer closed it
        }
        break;
    }
    size_t begin = 0;
    for (;;) {
        const size_t lineFeed = watched.pending.find('\n', begin);
        const bool whole = lineFeed != std::string::npos;
        if (!whole && watched.pending.size() - begin < kLongestLine &&
            !(ended && begin < watched.pending.size())) {
            break;
        }
        const size_t end = whole ? lineFeed : std::min(watched.pending.size(), begin + kLongestLine);
        if (journal) {
            journal->send(tJournalRecord(tJournalEvent::pluginOutput, kPriorityInfo,
                                         watched.pending.substr(begin, end - begin))
                              .field("PLUGIN", watched.plugin)
                              .field("SYSLOG_IDENTIFIER", watched.plugin));
        }
        begin = whole ? end + 1 : end;
    }
    watched.pending.erase(0, begin);
    if (ended) {
        close(watched.output);
        watched.output = -1;
    }
}

void tPluginProcessWatch::run() {
    std::vector<tWatched> watching;
    std::vector<pollfd> polled;
    for (;;) {
        {
            const std::lock_guard<std::mutex> hold(lock);
            if (ending) {
                break;
            }
            for (tWatched& watched : added) {
                watching.push_back(std::move(watched));
            }
            added.clear();
        }
        polled.assign(1, pollfd{wakeDescriptor, POLLIN, 0});
        for (const tWatched& watched : watching) {
            polled.push_back(pollfd{watched.process, POLLIN, 0});
            polled.push_back(pollfd{watched.output, POLLIN, 0});  // -1 is left out by poll
        }
        if (poll(polled.data(), polled.size(), -1) < 0) {
            continue;
        }
        if (polled[0].revents != 0) {
            uint64_t count = 0;
            (void)!read(wakeDescriptor, &count, sizeof count);
        }
        bool anyEnded = false;
        for (size_t i = 0; i < watching.size(); ++i) {
            tWatched& watched = watching[i];
            const bool ended = polled[1 + 2 * i].revents != 0;
            if (polled[2 + 2 * i].revents != 0 || ended) {
                forwardOutput(watched, ended);
            }
            if (ended) {
                close(watched.process);
                watched.process = -1;
                anyEnded = true;
            }
        }
        watching.erase(std::remove_if(watching.begin(), watching.end(),
                                      [](const tWatched& w) { return w.process < 0; }),
                       watching.end());
        if (anyEnded && onEnded) {
            onEnded();
        }
    }
    for (tWatched& watched : watching) {
        close(watched.process);
        if (watched.output >= 0) {
            close(watched.output);
        }
    }
}
