#include "reports/TextEscaping.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "text/PlainRuns.h"
#include "text/TextAppender.h"

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at text[at], or 0 when the byte
// there starts none: overlong forms, surrogates and code points above
// U+10FFFF are invalid too (RFC 3629).
size_t validSequenceLength(std::string_view text, size_t at) {
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

bool plainWord(uint64_t word) {
    using namespace nPlainRuns;
    return !anyHighByte(word) && !anyByteBelow(word, 0x20) && !anyByteEqual(word, '"') &&
           !anyByteEqual(word, '\\');
}

// Calls escape(out, byte) for each other ASCII byte and appends every valid
// multi-byte sequence whole, or U+FFFD for a byte that starts none. The
// reports are rendered up to six times a run with thousands of plugins:
// plain runs are appended at once, and UTF-8 is looked at only from the
// first byte above 0x7f.
template <typename Out, typename Escape>
void appendEscaped(Out& out, std::string_view text, Escape escape) {
    for (size_t at = 0; at < text.size();) {
        const size_t plainEnd = nPlainRuns::plainRunEnd(
            text, at, [](uint64_t word) { return plainWord(word); },
            [](unsigned char byte) { return plainByte(byte); });
        out.append(text.data() + at, plainEnd - at);
        at = plainEnd;
        if (at == text.size()) {
            break;
        }
        const size_t length = validSequenceLength(text, at);
        if (length == 0) {
            out.append(kReplacementCharacter, sizeof kReplacementCharacter - 1);
            ++at;
        } else if (length == 1) {
            escape(out, text[at]);
            ++at;
        } else {
            out.append(text.data() + at, length);
            at += length;
        }
    }
}

// The escapes JSON and the exposition format share; false for any other character.
template <typename Out>
bool appendSharedEscape(Out& out, char character) {
    switch (character) {
        case '"':
            out.append("\\\"", 2);
            return true;
        case '\\':
            out.append("\\\\", 2);
            return true;
        case '\n':
            out.append("\\n", 2);
            return true;
        default:
            return false;
    }
}

struct tJsonCharacter {
    template <typename Out>
    void operator()(Out& out, char character) const {
        static const char kDigits[] = "0123456789abcdef";
        const auto byte = static_cast<unsigned char>(character);
        if (appendSharedEscape(out, character)) {
            return;
        }
        if (character == '\t') {
            out.append("\\t", 2);
        } else if (byte < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kDigits[byte >> 4], kDigits[byte & 0xf]};
            out.append(escaped, sizeof escaped);
        } else {
            out.push_back(character);
        }
    }
};

struct tLabelCharacter {
    template <typename Out>
    void operator()(Out& out, char character) const {
        if (!appendSharedEscape(out, character)) {
            out.push_back(character);
        }
    }
};

struct tUnchangedCharacter {
    template <typename Out>
    void operator()(Out& out, char character) const {
        out.push_back(character);
    }
};

template <typename Out>
void appendJsonStringTo(Out& out, std::string_view text) {
    out.push_back('"');
    appendEscaped(out, text, tJsonCharacter());
    out.push_back('"');
}

}  // namespace

void appendValidUtf8(std::string& out, const std::string& text) {
    appendEscaped(out, text, tUnchangedCharacter());
}

void appendJsonString(std::string& out, const std::string& text) {
    appendJsonStringTo(out, text);
}

void appendJsonString(tTextAppender& out, std::string_view text) {
    appendJsonStringTo(out, text);
}

void appendLabelValue(std::string& out, const std::string& text) {
    appendEscaped(out, text, tLabelCharacter());
}

void appendLabelValue(tTextAppender& out, std::string_view text) {
    appendEscaped(out, text, tLabelCharacter());
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
