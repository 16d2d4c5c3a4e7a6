#include "ReportChannel.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace nPluginCheck {
namespace {

// The kernel's usual ceiling on descriptor numbers (fs.nr_open).
constexpr rlim_t kHighestUsualLimit = rlim_t{1} << 20;

uint64_t randomNumber() {
    uint64_t number = 0;
    if (getrandom(&number, sizeof number, 0) != sizeof number) {
        // No entropy yet this early: the address and time still differ per run.
        number = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ULL ^
                 reinterpret_cast<uintptr_t>(&number) ^ static_cast<uint64_t>(time(nullptr));
    }
    return number;
}

// Moves `descriptor` to a random number in the upper half of what the hard
// limit allows: plugins that close "every descriptor" loop up to the soft
// limit, and new descriptors take the lowest free number. The soft limit is
// raised only for the move; a descriptor above it stays valid.
int moveHigh(int descriptor) {
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return descriptor;
    }
    const rlim_t ceiling = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > kHighestUsualLimit
                               ? kHighestUsualLimit
                               : limit.rlim_max;
    const rlimit raised = {ceiling, limit.rlim_max};
    if (ceiling < 64 || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        return descriptor;
    }
    const auto lowest = static_cast<int>(ceiling / 2 + randomNumber() % (ceiling / 2 - 16));
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, lowest);
    setrlimit(RLIMIT_NOFILE, &limit);
    if (moved < 0) {
        return descriptor;
    }
    close(descriptor);
    return moved;
}

}  // namespace

std::string newChannelToken() {
    char text[17];
    snprintf(text, sizeof text, "%016" PRIx64, randomNumber());
    return text;
}

tReportChannel::tReportChannel(int descriptor, std::string channelToken) noexcept
    : writeEnd(moveHigh(descriptor)), token(std::move(channelToken)) {
    fcntl(writeEnd, F_SETFD, FD_CLOEXEC);
    struct stat status = {};
    if (fstat(writeEnd, &status) == 0) {
        device = status.st_dev;
        inode = status.st_ino;
    }
}

bool tReportChannel::intact() const noexcept {
    struct stat status = {};
    return fstat(writeEnd, &status) == 0 && S_ISFIFO(status.st_mode) && status.st_dev == device &&
           status.st_ino == inode;
}

bool tReportChannel::writeWhole(const char* data, size_t size) noexcept {
    if (!intact()) {
        return false;
    }
    size_t written = 0;
    while (written < size) {
        const ssize_t result = write(writeEnd, data + written, size - written);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            return false;
        }
        written += static_cast<size_t>(result);
    }
    return true;
}

bool tReportChannel::send(const std::string& message) noexcept {
    try {
        const std::string frame =
            token + " " + std::to_string(sent.fetch_add(1) + 1) + " " + message + "\n";
        return writeWhole(frame.data(), frame.size());
    } catch (...) {
        return false;  // no memory for the frame
    }
}

bool tReportChannel::send(const char* message, char* buffer, size_t bufferSize) noexcept {
    const int length = snprintf(buffer, bufferSize, "%s %" PRIu64 " %s\n", token.c_str(),
                                sent.fetch_add(1) + 1, message);
    return length > 0 && static_cast<size_t>(length) < bufferSize &&
           writeWhole(buffer, static_cast<size_t>(length));
}

void tReportStream::take(const char* data, size_t size, std::vector<tReceived>& received) {
    pending.append(data, size);
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        takeLine(line, received);
    }
}

void tReportStream::finish(std::vector<tReceived>& received) {
    if (!pending.empty()) {
        received.push_back({tReceived::tKind::stray, pending});
        pending.clear();
    }
}

void tReportStream::takeLine(const std::string& line, std::vector<tReceived>& received) {
    // A write of the plugin's lands between two frames, never inside one:
    // each frame is one write(2), and the pipe keeps small writes whole.
    const size_t start = line.find(token + " ");
    if (start == std::string::npos) {
        received.push_back({tReceived::tKind::stray, line + "\n"});
        return;
    }
    if (start > 0) {
        received.push_back({tReceived::tKind::stray, line.substr(0, start)});
    }
    const char* number = line.c_str() + start + token.size() + 1;
    char* end = nullptr;
    errno = 0;
    const uint64_t sequence = strtoull(number, &end, 10);
    if (end == number || *end != ' ' || errno != 0) {
        received.push_back({tReceived::tKind::stray, line.substr(start) + "\n"});
        return;
    }
    if (sequence != expected) {
        received.push_back({tReceived::tKind::outOfTurn, "message " + std::to_string(expected) +
                                                             " came as message " +
                                                             std::to_string(sequence)});
    }
    expected = sequence + 1;
    received.push_back({tReceived::tKind::message, std::string(end + 1)});
}

}  // namespace nPluginCheck
