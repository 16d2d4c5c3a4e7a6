// tDatagramSocket sends single datagrams to a Unix datagram socket that
// someone else listens on: the service manager's notification socket, or the
// journal's.
//
// It holds one SOCK_DGRAM socket, close-on-exec and non-blocking, connected
// to nothing: every datagram names its address, so a listener that went away
// and came back is found again. The address is a file path, or "@name" for a
// name in the abstract namespace.
// A plugin runs in the same process and may close the socket's descriptor,
// or put something else in its place (dup2, or an open() that reuses the
// number): before each datagram the descriptor is checked to be still the
// socket opened (its inode), and else a new socket is opened. A descriptor
// that is no longer the socket is left alone: it belongs to whoever holds it now.
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
#include <sys/types.h>
#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "system/Mutex.h"

class tDatagramSocket {
  public:
    explicit tDatagramSocket(std::string address) noexcept;
    ~tDatagramSocket();
    tDatagramSocket(const tDatagramSocket&) = delete;
    tDatagramSocket& operator=(const tDatagramSocket&) = delete;

    bool isOpen() const noexcept { return descriptor.load() >= 0; }

    // One datagram of `size` bytes; false when it did not go out at once.
    // Never blocks, never raises SIGPIPE, never throws.
    bool send(const char* data, size_t size) noexcept;

    // The same from a signal handler: takes no lock and, when the socket is
    // lost, sends through a socket opened for this datagram alone.
    bool sendWithoutLocking(const char* data, size_t size) noexcept;

  private:
    // The socket, opened again when the descriptor is no longer it; -1 when
    // none could be opened.
    int currentDescriptor() noexcept;
    bool openSocket() noexcept ZO_REQUIRES(reopening);

    std::atomic<int> descriptor{-1};
    std::atomic<ino_t> inode{0};
    // Held only while a new socket replaces a lost one.
    tMutex reopening;
    bool addressValid = false;
    sockaddr_un peer{};
    socklen_t peerLength = 0;
};

// True when `descriptor` is the socket whose inode is `inode`; safe in a
// signal handler.
bool isSocketOfInode(int descriptor, ino_t inode) noexcept;

#endif  // ZOKORVO_DATAGRAMSOCKET_H
