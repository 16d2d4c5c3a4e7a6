#include "system/DatagramSocket.h"

#include <sys/stat.h>
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
    addressValid = addressFor(address, peer, peerLength);
    if (addressValid) {
        // No other thread knows the socket yet; the lock costs nothing here.
        const tMutexLock lock(reopening);
        openSocket();
    }
}

tDatagramSocket::~tDatagramSocket() {
    const int held = descriptor.load();
    if (held >= 0 && isSocketOfInode(held, inode.load())) {
        close(held);
    }
}

bool tDatagramSocket::openSocket() noexcept {
    const int opened = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat status {};
    if (opened < 0 || fstat(opened, &status) != 0) {
        if (opened >= 0) {
            close(opened);
        }
        descriptor.store(-1);
        return false;
    }
    inode.store(status.st_ino);
    descriptor.store(opened);
    return true;
}

int tDatagramSocket::currentDescriptor() noexcept {
    const int held = descriptor.load();
    if (held >= 0 && isSocketOfInode(held, inode.load())) {
        return held;
    }
    if (!addressValid) {
        return -1;
    }
    const tMutexLock lock(reopening);
    // Another sender may have replaced it meanwhile.
    const int now = descriptor.load();
    if (now >= 0 && now != held && isSocketOfInode(now, inode.load())) {
        return now;
    }
    return openSocket() ? descriptor.load() : -1;
}

bool tDatagramSocket::send(const char* data, size_t size) noexcept {
    const int held = currentDescriptor();
    if (held < 0) {
        return false;
    }
    const ssize_t sent = sendto(held, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&peer), peerLength);
    return sent >= 0 && static_cast<size_t>(sent) == size;
}

bool tDatagramSocket::sendWithoutLocking(const char* data, size_t size) noexcept {
    int held = descriptor.load();
    const bool lost = held < 0 || !isSocketOfInode(held, inode.load());
    if (lost) {
        if (!addressValid) {
            return false;
        }
        held = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (held < 0) {
            return false;
        }
    }
    const ssize_t sent = sendto(held, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&peer), peerLength);
    if (lost) {
        close(held);
    }
    return sent >= 0 && static_cast<size_t>(sent) == size;
}

bool isSocketOfInode(int descriptor, ino_t inode) noexcept {
    struct stat status {};
    return fstat(descriptor, &status) == 0 && S_ISSOCK(status.st_mode) && status.st_ino == inode;
}
