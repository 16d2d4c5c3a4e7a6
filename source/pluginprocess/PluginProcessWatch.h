// tPluginProcessWatch: one thread of the service's that watches every
// isolated plugin's process: it tells the service when one ends (through
// the callback given, which must be safe to call from another thread), and
// forwards each line the plugin writes to its standard output or error to
// the journal, as a record under the plugin's name (PLUGIN=,
// SYSLOG_IDENTIFIER=). A line that the journal does not take at once is
// dropped: nothing the plugin writes can hold the service.
//
// Ownership: watch() hands the watcher a descriptor of the process (a pidfd,
// duplicated here) and the reading end of its output pipe (taken over, may be
// -1); the watcher closes both once the process has ended and its output is
// drained. Thread-safe: watch() may be called from any thread; the thread
// starts at the first watch() and ends with the object.
#ifndef ZOKORVO_PLUGINPROCESSWATCH_H
#define ZOKORVO_PLUGINPROCESSWATCH_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class tJournal;

class tPluginProcessWatch {
  public:
    // `journalSocket` empty: no journal, the output pipes are not used.
    tPluginProcessWatch(std::string journalSocket, std::function<void()> processEnded);
    ~tPluginProcessWatch();
    tPluginProcessWatch(const tPluginProcessWatch&) = delete;
    tPluginProcessWatch& operator=(const tPluginProcessWatch&) = delete;

    void watch(int processDescriptor, int outputDescriptor, const std::string& plugin);

  private:
    struct tWatched;
    void run();
    void forwardOutput(tWatched& watched, bool ended);
    void wake();

    std::string journalSocketPath;
    std::function<void()> onEnded;
    std::unique_ptr<tJournal> journal;  // used by the watching thread alone
    std::mutex lock;
    std::vector<tWatched> added;  // under `lock`, until the thread takes them
    bool ending = false;          // under `lock`
    int wakeDescriptor = -1;      // an eventfd
    std::thread thread;
};

#endif  // ZOKORVO_PLUGINPROCESSWATCH_H
