#include "system/DatagramSocket.h"

#include <unistd.h>

#include <cstring>

namespace {

// Fills `peer` for `address`; false when no socket could be named by it. A
// relative path is refused: the service's working directory is no place to
// look for its manager.
bool addressFor(const std::string& address, sockaddr_un& peer, socklen_t& length) {
    peer.sun_family = AF_UNIX;
    const size_t pathOffset = offsetof(sockaddr_un, sun_path);
    if (address.size() >= 2 && address[0] == '@') {
        // An abstract name: a NUL byte first, and no terminating NUL.
        if (address.size() > sizeof peer.sun_path) {
            return false;
        }
        peer.sun_path[0] = '\0';
        memcpy(peer.sun_path + 1, address.data() + 1, address.size() - 1);
        length = static_cast<socklen_t>(pathOffset + address.size());
        return true;
    }
    if (address.empty() || address[0] != '/' || address.size() >= sizeof peer.sun_path ||
        address.find('\0') != std::string::npos) {
        return false;
    }
    memcpy(peer.sun_path, address.c_str(), address.size() + 1);
    length = static_cast<socklen_t>(pathOffset + address.size() + 1);
    return true;
}

}  // namespace

// By value, as the interface that the journal's writer shares has it.
// cppcheck-suppress passedByValue
// NOLINTNEXTLINE(performance-unnecessary-value-param)
tDatagramSocket::tDatagramSocket(std::string address) noexcept {
    if (!addressFor(address, peer, peerLength)) {
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
    const ssize_t sent = sendto(descriptor, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&peer), peerLength);
    return sent >= 0 && static_cast<size_t>(sent) == size;
}
