// Test helpers for the platform reads: the bytes of a ByteVector, a status
// detail with its source line masked, and things that are not regular files
// standing where a file is read: a FIFO, whose open blocks until a writer
// comes, and a check that a call near one finishes in bounded time.
#ifndef ZO_TESTS_DESCRIPTIONS_DESCRIPTIONSTESTSUPPORT_H
#define ZO_TESTS_DESCRIPTIONS_DESCRIPTIONSTESTSUPPORT_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>

#include "zoerr/Status.h"
#include "zohtl/err/Allocator.h"

namespace zotest {

inline std::string contents(const zohtl::ByteVector& bytes) {
    return std::string(bytes.data, bytes.size);
}

// The JSON detail with "line" set to 0, so that expectations survive edits.
inline std::string detailWithoutLine(const zoerr::Status& status) {
    std::string detail = status.json != nullptr ? status.json : "";
    const std::string key = "\"line\":";
    const size_t at = detail.find(key);
    if (at != std::string::npos) {
        const size_t digits = at + key.size();
        detail.replace(digits, detail.find_first_not_of("0123456789", digits) - digits, "0");
    }
    return detail;
}

inline void makeFifo(const std::string& path) {
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("cannot create FIFO " + path);
    }
}

// Runs `call` on another thread; false when it has not finished within two
// seconds. A call stuck in opening the FIFO at `fifoPath` is then released
// by opening it for writing (O_RDWR never blocks on Linux) and closing it
// again, so a failing test ends instead of hanging.
inline bool finishesPromptly(const std::string& fifoPath, const std::function<void()>& call) {
    std::future<void> done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(2)) == std::future_status::ready) {
        done.get();
        return true;
    }
    const int writer = open(fifoPath.c_str(), O_RDWR | O_NONBLOCK);
    if (writer >= 0) {
        close(writer);
    }
    done.wait();
    return false;
}

}  // namespace zotest

#endif  // ZO_TESTS_DESCRIPTIONS_DESCRIPTIONSTESTSUPPORT_H
