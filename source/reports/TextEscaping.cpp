#include "reports/TextEscaping.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at text[at], or 0 when the byte
// there starts none: overlong forms, surrogates and code points above
// U+10FFFF are invalid too (RFC 3629).
size_t validSequenceLength(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// A byte that either format may have to escape, or that starts a
// multi-byte sequence: everything else is copied in runs.
bool plainByte(unsigned char byte) {
    return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
}

// True when none of the eight bytes of `word` is anything but plain: the
// bit tricks of "Bit Twiddling Hacks" (a byte below n, a zero byte), eight
// bytes at a time, since names and paths are mostly plain.
bool plainWord(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    const auto anyZero = [](uint64_t bytes) { return (bytes - kOnes) & ~bytes & kHighs; };
    const uint64_t belowSpace = (word - kOnes * 0x20) & ~word & kHighs;
    return ((word & kHighs) | belowSpace | anyZero(word ^ (kOnes * '"')) |
            anyZero(word ^ (kOnes * '\\'))) == 0;
}

// Where the run of plain bytes that begins at `at` ends.
size_t plainRunEnd(const std::string& text, size_t at) {
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

// Calls escape(out, byte) for each other ASCII byte and appends every valid
// multi-byte sequence whole, or U+FFFD for a byte that starts none. The
// reports are rendered up to six times a run with thousands of plugins:
// plain runs are appended at once.
template <typename Escape>
void appendEscaped(std::string& out, const std::string& text, Escape escape) {
    for (size_t at = 0; at < text.size();) {
        const size_t plainEnd = plainRunEnd(text, at);
        out.append(text, at, plainEnd - at);
        at = plainEnd;
        if (at == text.size()) {
            break;
        }
        const size_t length = validSequenceLength(text, at);
        if (length == 0) {
            out += kReplacementCharacter;
            ++at;
        } else if (length == 1) {
            escape(out, text[at]);
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
}

// The escapes JSON and the exposition format share; false for any other character.
bool appendSharedEscape(std::string& out, char character) {
    switch (character) {
        case '"':
            out += "\\\"";
            return true;
        case '\\':
            out += "\\\\";
            return true;
        case '\n':
            out += "\\n";
            return true;
        default:
            return false;
    }
}

void appendJsonCharacter(std::string& out, char character) {
    if (appendSharedEscape(out, character)) {
        return;
    }
    if (character == '\t') {
        out += "\\t";
    } else if (static_cast<unsigned char>(character) < 0x20) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(character));
        out += escaped;
    } else {
        out += character;
    }
}

void appendLabelCharacter(std::string& out, char character) {
    if (!appendSharedEscape(out, character)) {
        out += character;
    }
}

}  // namespace

void appendValidUtf8(std::string& out, const std::string& text) {
    appendEscaped(out, text, [](std::string& to, char character) { to += character; });
}

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    appendEscaped(out, text, appendJsonCharacter);
    out += '"';
}

void appendLabelValue(std::string& out, const std::string& text) {
    appendEscaped(out, text, appendLabelCharacter);
}

void appendIsoTime(std::string& out, const timespec& time) {
    struct tm utc {};
    if (gmtime_r(&time.tv_sec, &utc) == nullptr) {
        utc = tm{};
        utc.tm_year = 70;
        utc.tm_mday = 1;
    }
    char text[40];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, sizeof text - length, ".%03ldZ", time.tv_nsec / 1000000);
    out += text;
}
