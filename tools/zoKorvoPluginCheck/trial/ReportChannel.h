// The trial child's report channel to its parent, made so that the plugin
// code running in the child cannot write into it, close it or reuse it by
// accident or habit, and so that anything it does to it shows.
//
// tReportChannel is the child's end: the pipe's write end moved to a high
// descriptor number drawn at random (close-on-exec, above the numbers a
// plugin closes or opens by habit), checked to be the same pipe before each
// write. Every message goes out framed as "<token> <number> <message>\n":
// the token is drawn by the parent for each child, the numbers count from 1.
// tReportStream is the parent's end: it takes the bytes read from the pipe
// and gives back the whole messages in order, and every fault of the
// channel: bytes that are not a frame, a number out of turn.
//
// tReportChannel::send may be called from a signal handler (it only calls
// fstat and write, and formats into the caller's buffer); it never throws
// and never blocks longer than the parent takes to read. Both types are
// otherwise single-threaded.
#ifndef ZOKORVO_PLUGINCHECK_REPORTCHANNEL_H
#define ZOKORVO_PLUGINCHECK_REPORTCHANNEL_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nPluginCheck {

// How a trial child ends when its channel was closed or replaced under it.
constexpr int kChannelLostExitStatus = 121;

// A fresh token for one child's frames: 16 hexadecimal digits.
std::string newChannelToken();

class tReportChannel {
  public:
    // Takes over `descriptor`, a pipe's write end, and moves it out of the
    // plugins' way; `channelToken` must be newChannelToken()'s.
    tReportChannel(int descriptor, std::string channelToken) noexcept;
    tReportChannel(const tReportChannel&) = delete;
    tReportChannel& operator=(const tReportChannel&) = delete;

    // Sends one message (no newline in it); false when the channel is no
    // longer the pipe it was: a plugin closed it, and perhaps reused its number.
    bool send(const std::string& message) noexcept;
    // The same from a signal handler: the frame is built in `buffer`.
    bool send(const char* message, char* buffer, size_t bufferSize) noexcept;
    // True while the descriptor still refers to the pipe.
    bool intact() const noexcept;
    int descriptor() const noexcept { return writeEnd; }

  private:
    bool writeWhole(const char* data, size_t size) noexcept;

    int writeEnd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    const std::string token;
    std::atomic<uint64_t> sent{0};
};

// What the parent received, in order.
struct tReceived {
    enum class tKind { message, stray, outOfTurn } kind = tKind::message;
    std::string text;  // message: the message; stray: the bytes; outOfTurn: what was expected
};

class tReportStream {
  public:
    explicit tReportStream(std::string channelToken) : token(std::move(channelToken)) {}

    const std::string& channelToken() const { return token; }

    // Takes the bytes read; the whole frames and faults among them go to `received`.
    void take(const char* data, size_t size, std::vector<tReceived>& received);
    // At the end of the channel: what is left is not a whole frame.
    void finish(std::vector<tReceived>& received);

  private:
    void takeLine(const std::string& line, std::vector<tReceived>& received);

    const std::string token;
    std::string pending;
    uint64_t expected = 1;
};

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_REPORTCHANNEL_H
