// tDatagramSocket sends single datagrams to a Unix datagram socket that
// someone else listens on: the service manager's notification socket, or the
// journal's.
//
// It holds one SOCK_DGRAM socket, close-on-exec and non-blocking, connected
// to nothing: every datagram names its address, so a listener that went away
// and came back is found again. The address is a file path, or "@name" for a
// name in the abstract namespace.
// Ownership: owns its socket; not copyable. Threads: send() may be called
// from several threads at once; construction and destruction from one.
// Failures: nothing throws. An unusable address (empty, relative, too long)
// or a failed socket() leaves the object closed; send() then, and whenever a
// datagram cannot go out at once (the listener's queue is full, nobody
// listens), returns false: the caller drops the datagram, as nothing outside
// may hold the service.
#ifndef ZOKORVO_DATAGRAMSOCKET_H
#define ZOKORVO_DATAGRAMSOCKET_H

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <string>

class tDatagramSocket {
  public:
    explicit tDatagramSocket(std::string address) noexcept;
    ~tDatagramSocket();
    tDatagramSocket(const tDatagramSocket&) = delete;
    tDatagramSocket& operator=(const tDatagramSocket&) = delete;

    bool isOpen() const noexcept { return descriptor >= 0; }

    // One datagram of `size` bytes; false when it did not go out at once.
    // Never blocks, never raises SIGPIPE, never throws.
    bool send(const char* data, size_t size) noexcept;

  private:
    int descriptor = -1;
    sockaddr_un peer{};
    socklen_t peerLength = 0;
};

#endif  // ZOKORVO_DATAGRAMSOCKET_H
