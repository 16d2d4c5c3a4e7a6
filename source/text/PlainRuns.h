// Finding where a run of bytes that need no escape ends, eight bytes at a
// time: the escapers of the status text and of the machine-read reports
// copy such a run whole, and names and paths are mostly one run.
//
// The word tests are the bit tricks of "Bit Twiddling Hacks" (a byte below
// n, a zero byte): each answers exactly whether any of the eight bytes
// qualifies, though not which. Pure inline functions: thread-safe, nothing
// throws.
#ifndef ZOKORVO_PLAINRUNS_H
#define ZOKORVO_PLAINRUNS_H

#include <cstdint>
#include <cstring>
#include <string_view>

namespace nPlainRuns {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Some byte of `word` is below `bound` (at most 0x80).
inline bool anyByteBelow(uint64_t word, unsigned char bound) {
    return ((word - kOnes * bound) & ~word & kHighs) != 0;
}
// Some byte of `word` is `value`.
inline bool anyByteEqual(uint64_t word, unsigned char value) {
    const uint64_t differences = word ^ (kOnes * value);
    return ((differences - kOnes) & ~differences & kHighs) != 0;
}
// Some byte of `word` is 0x80 or above.
inline bool anyHighByte(uint64_t word) {
    return (word & kHighs) != 0;
}

// Where the run that begins at text[at] ends: whole words while
// plainWord(word) holds, then single bytes while plainByte(byte) does. The
// two must agree on every byte; lambdas, rather than pointers to
// functions, let the tests be inlined into the loops.
template <typename PlainWord, typename PlainByte>
size_t plainRunEnd(std::string_view text, size_t at, PlainWord plainWord, PlainByte plainByte) {
    uint64_t word;
    while (at + sizeof word <= text.size()) {
        memcpy(&word, text.data() + at, sizeof word);
        if (!plainWord(word)) {
            break;
        }
        at += sizeof word;
    }
    while (at < text.size() && plainByte(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    return at;
}

}  // namespace nPlainRuns

#endif  // ZOKORVO_PLAINRUNS_H
