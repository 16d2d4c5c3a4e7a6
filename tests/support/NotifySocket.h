// Test support: a notification socket of the test's own, standing in for the
// service manager's. It receives the datagrams the service under test sends,
// each message with the time it arrived.
//
// tNotifySocket binds a Unix datagram socket either to a file in the build
// tree or to an abstract name ("@..." in NOTIFY_SOCKET), or to a path given
// (the journal's, for the journal's native protocol); environmentEntry()
// is the NOTIFY_SOCKET entry to hand to a ServiceProcess. Not thread-safe:
// one test thread receives.
#ifndef ZO_TESTS_NOTIFYSOCKET_H
#define ZO_TESTS_NOTIFYSOCKET_H

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"

namespace zotest {

struct tNotification {
    std::string text;
    std::chrono::steady_clock::time_point arrived;
};

class tNotifySocket {
  public:
    enum class tAddress { file, abstract };

    explicit tNotifySocket(tAddress address = tAddress::file);
    // Bound to the file `path`, where the service is built to send (the
    // journal's socket of the test variant).
    explicit tNotifySocket(const std::string& path);
    ~tNotifySocket();
    tNotifySocket(const tNotifySocket&) = delete;
    tNotifySocket& operator=(const tNotifySocket&) = delete;

    std::string environmentEntry() const { return "NOTIFY_SOCKET=" + name; }

    // Receives until a message satisfies `wanted` (true) or `limit` passed
    // (false). Every message received is kept in received().
    bool waitFor(const std::function<bool(const std::string&)>& wanted,
                 std::chrono::milliseconds limit = eventLimit());
    bool waitForText(const std::string& text, std::chrono::milliseconds limit = eventLimit());
    // Takes what has arrived by now, without waiting.
    void receivePending();
    // Sends datagrams of its own to the socket until its queue is full, as
    // when a manager falls behind; nothing is received from then on.
    void fillQueue();

    const std::vector<tNotification>& received() const { return messages; }
    // The index of the first message received with this text, or -1.
    int indexOf(const std::string& text) const;
    // Every message received so far, one per line, for failure reports.
    std::string transcript() const;

  private:
    void bindTo(const sockaddr_un& socketAddress, socklen_t length);
    // One message, waiting at most `limit`; false when none came.
    bool receiveOne(std::chrono::milliseconds limit);

    int socketFd = -1;
    std::string name;
    std::string boundPath;
    std::vector<tNotification> messages;
};

}  // namespace zotest

#endif  // ZO_TESTS_NOTIFYSOCKET_H
