// tDatagramSocket sends single datagrams to one Unix datagram socket
// without ever waiting: the journal and the service manager may be slow or
// gone, and neither may hold the service up.
//
// One SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK socket, connected to
// nothing; each send() names the address. The address is a file system path
// or "@name" for the abstract namespace. Owns its descriptor; not copyable.
// Not thread-safe: one thread sends. Nothing throws: an address that does
// not fit, or a socket that cannot be made, leaves isOpen() false, and a
// datagram that cannot go out at once makes send() return false.
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
    // One datagram with MSG_DONTWAIT | MSG_NOSIGNAL; false when it did not go
    // out at once (full queue, no reader, too large).
    bool send(const char* data, size_t size) noexcept;

  private:
    std::string peerAddress;  // as given
    int descriptor = -1;
    sockaddr_un peer{};
    socklen_t peerLength = 0;
};

#endif  // ZOKORVO_DATAGRAMSOCKET_H
