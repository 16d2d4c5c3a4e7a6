#include "VisibleText.h"

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

void appendEscape(std::string& out, unsigned char c) {
    static const char kDigits[] = "0123456789abcdef";
    switch (c) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 0xf];
    }
}

}  // namespace

void appendVisible(std::string& out, const std::string& text) {
    size_t plainFrom = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (isControl(c)) {
            out.append(text, plainFrom, i - plainFrom);
            appendEscape(out, c);
            plainFrom = i + 1;
        }
    }
    out.append(text, plainFrom, std::string::npos);
}

std::string visible(const std::string& text) {
    std::string out;
    appendVisible(out, text);
    return out;
}
