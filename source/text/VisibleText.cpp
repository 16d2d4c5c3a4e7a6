#include "text/VisibleText.h"

#include "text/PlainRuns.h"
#include "text/TextAppender.h"

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool controlFreeWord(uint64_t word) {
    return !nPlainRuns::anyByteBelow(word, 0x20) && !nPlainRuns::anyByteEqual(word, 0x7f);
}

template <typename Out>
void appendEscape(Out& out, unsigned char c) {
    static const char kDigits[] = "0123456789abcdef";
    switch (c) {
        case '\n':
            out.append("\\n", 2);
            return;
        case '\r':
            out.append("\\r", 2);
            return;
        case '\t':
            out.append("\\t", 2);
            return;
        default:
            const char escape[4] = {'\\', 'x', kDigits[c >> 4], kDigits[c & 0xf]};
            out.append(escape, sizeof escape);
    }
}

// Names and paths are mostly free of control characters: each run between
// two of them is found a word at a time and appended whole.
template <typename Out>
void appendVisibleTo(Out& out, const std::string& text) {
    for (size_t at = 0; at < text.size(); ++at) {
        const size_t runEnd = nPlainRuns::plainRunEnd(
            text, at, [](uint64_t word) { return controlFreeWord(word); },
            [](unsigned char c) { return !isControl(c); });
        out.append(text.data() + at, runEnd - at);
        at = runEnd;
        if (at == text.size()) {
            break;
        }
        appendEscape(out, static_cast<unsigned char>(text[at]));
    }
}

}  // namespace

void appendVisible(std::string& out, const std::string& text) {
    appendVisibleTo(out, text);
}

void appendVisible(tTextAppender& out, const std::string& text) {
    appendVisibleTo(out, text);
}

std::string visible(const std::string& text) {
    std::string out;
    appendVisible(out, text);
    return out;
}
