#include "DatagramSocket.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace {

// Fills `peer` from a path or an "@name"; false when it does not fit.
bool fillAddress(const std::string& address, sockaddr_un& peer, socklen_t& length) {
    peer.sun_family = AF_UNIX;
    const bool abstract = !address.empty() && address[0] == '@';
    // A path needs its terminating NUL inside sun_path; an abstract name
    // begins with a NUL in place of the '@' and needs none.
    if (address.empty() || address.size() > sizeof peer.sun_path - (abstract ? 0 : 1)) {
        return false;
    }
    memcpy(peer.sun_path, address.data(), address.size());
    if (abstract) {
        peer.sun_path[0] = '\0';
    }
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() +
                                    (abstract ? 0 : 1));
    return true;
}

}  // namespace

// Taken by value and moved in; cppcheck misses the move.
// cppcheck-suppress passedByValue
tDatagramSocket::tDatagramSocket(std::string address) noexcept : peerAddress(std::move(address)) {
    if (!fillAddress(peerAddress, peer, peerLength)) {
        return;
    }
    descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

tDatagramSocket::~tDatagramSocket() {
    if (descriptor >= 0) {
        close(descriptor);
    }
}

bool tDatagramSocket::send(const char* data, size_t size) noexcept {
    if (descriptor < 0) {
        return false;
    }
    ssize_t sent;
    do {
        sent = sendto(descriptor, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&peer), peerLength);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}
