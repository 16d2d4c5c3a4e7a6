#include "support/NotifySocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zotest {
namespace {

int socketCounter = 0;

std::string freshName() {
    return "zo-notify." + std::to_string(getpid()) + "." + std::to_string(++socketCounter);
}

}  // namespace

tNotifySocket::tNotifySocket(tAddress address) {
    socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        throw std::runtime_error("cannot create a notification socket");
    }
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    socklen_t length = 0;
    if (address == tAddress::abstract) {
        const std::string abstractName = freshName();
        name = "@" + abstractName;
        // An abstract name starts with a NUL byte and is not NUL-terminated.
        memcpy(socketAddress.sun_path + 1, abstractName.data(), abstractName.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size());
    } else {
        boundPath = std::string(ZO_TEST_BINARY_DIR) + "/" + freshName();
        name = boundPath;
        if (boundPath.size() >= sizeof socketAddress.sun_path) {
            throw std::runtime_error("socket path too long: " + boundPath);
        }
        unlink(boundPath.c_str());
        memcpy(socketAddress.sun_path, boundPath.c_str(), boundPath.size() + 1);
        length = static_cast<socklen_t>(sizeof socketAddress);
    }
    bindTo(socketAddress, length);
}

tNotifySocket::tNotifySocket(const std::string& path) : name(path), boundPath(path) {
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    if (path.size() >= sizeof socketAddress.sun_path) {
        throw std::runtime_error("socket path too long: " + path);
    }
    socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        throw std::runtime_error("cannot create a socket");
    }
    unlink(path.c_str());
    memcpy(socketAddress.sun_path, path.c_str(), path.size() + 1);
    bindTo(socketAddress, static_cast<socklen_t>(sizeof socketAddress));
}

void tNotifySocket::bindTo(const sockaddr_un& socketAddress, socklen_t length) {
    if (bind(socketFd, reinterpret_cast<const sockaddr*>(&socketAddress), length) != 0) {
        close(socketFd);
        throw std::runtime_error("cannot bind the socket " + name);
    }
}

tNotifySocket::~tNotifySocket() {
    close(socketFd);
    if (!boundPath.empty()) {
        unlink(boundPath.c_str());
    }
}

bool tNotifySocket::receiveOne(std::chrono::milliseconds limit) {
    pollfd ready{socketFd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    // Larger than the service manager reads: a datagram too long for it
    // shows here whole.
    char buffer[65536];
    const ssize_t length = recv(socketFd, buffer, sizeof buffer, 0);
    if (length < 0) {
        return false;
    }
    messages.push_back(
        {std::string(buffer, static_cast<size_t>(length)), std::chrono::steady_clock::now()});
    return true;
}

bool tNotifySocket::waitFor(const std::function<bool(const std::string&)>& wanted,
                            std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0 || !receiveOne(left)) {
            return false;
        }
        if (wanted(messages.back().text)) {
            return true;
        }
    }
}

bool tNotifySocket::waitForText(const std::string& text, std::chrono::milliseconds limit) {
    return waitFor([&text](const std::string& message) { return message == text; }, limit);
}

void tNotifySocket::fillQueue() {
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un socketAddress{};
    socklen_t length = sizeof socketAddress;
    getsockname(socketFd, reinterpret_cast<sockaddr*>(&socketAddress), &length);
    const char filler[512] = {};
    while (sendto(sender, filler, sizeof filler, 0,
                  reinterpret_cast<const sockaddr*>(&socketAddress), length) >= 0) {
    }
    const int error = errno;
    close(sender);
    if (error != EAGAIN) {
        throw std::runtime_error("cannot fill the notification socket's queue");
    }
}

void tNotifySocket::receivePending() {
    while (receiveOne(std::chrono::milliseconds(0))) {
    }
}

int tNotifySocket::indexOf(const std::string& text) const {
    for (size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].text == text) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string tNotifySocket::transcript() const {
    std::string text;
    for (const tNotification& message : messages) {
        text += "[" + message.text + "]\n";
    }
    return text;
}

}  // namespace zotest
