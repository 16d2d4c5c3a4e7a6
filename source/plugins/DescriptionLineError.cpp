#include "plugins/DescriptionLineError.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "plugins/PluginDescriptionFile.h"

namespace {

// Longest stretch of a bad line quoted in a message.
constexpr size_t kQuotedLineLimit = 60;

// The line as a person can read it in one terminal line: control bytes
// escaped, long lines cut.
std::string quotedLine(const char* line) {
    std::string shown;
    for (const char* c = line; *c != '\0' && shown.size() < kQuotedLineLimit; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += *c;
        }
    }
    return "\"" + shown + "\"" + (shown.size() >= kQuotedLineLimit ? "..." : "");
}

bool startsWithHash(const char* line) {
    while (*line != '\0' && isspace(static_cast<unsigned char>(*line))) {
        ++line;
    }
    return *line == '#';
}

// Frees the line reader's heap buffer, which readWholeLine may move.
struct tLineBuffer {
    ~tLineBuffer() { free(text); }
    char* text = nullptr;
    size_t capacity = 0;
};

}  // namespace

const char kEmptyLastLineMessage[] =
    "empty last line: the file ends with a second line break; one line break may end the last "
    "line, an empty line may not follow it";

tDescriptionLineError describeErrorLine(IniLineKind lineKind, const char* line) {
    switch (lineKind) {
        case kIniLineBlank:
            return {"blank-line",
                    "empty or white-space-only line: a description file may hold no blank line"};
        case kIniLineNoSeparator:
            if (startsWithHash(line)) {
                return {"hash-comment",
                        quotedLine(line) + " is not a comment: only \";\" starts a comment"};
            }
            return {"no-equals-sign",
                    quotedLine(line) +
                        " has no \"=\": it is neither a comment, a section header nor a key line"};
        case kIniLineEmptyKeyName:
            return {"empty-key-name", quotedLine(line) + " has no key name before \"=\""};
        case kIniLineUnclosedSection:
            return {"unclosed-section-header",
                    quotedLine(line) + " is a section header without \"]\""};
        case kIniLineEmptySectionName:
            return {"empty-section-name",
                    quotedLine(line) + " is a section header with an empty name"};
        default:
            return {"empty-value", quotedLine(line) + " has an empty value"};
    }
}

std::string firstErrorLineOf(const std::string& bytes) {
    const std::unique_ptr<IniLineReader, decltype(&IniLineReader::destroy)> reader(
        IniLineReader::createOverBytes(bytes.data(), bytes.size()), &IniLineReader::destroy);
    if (!reader) {
        return std::string();
    }
    tLineBuffer line;
    int32_t number = 0;
    std::string found;
    for (;;) {
        int haveLine = 0;
        if (reader->readWholeLine(&line.text, &line.capacity, &haveLine) != kIniResultOk ||
            !haveLine) {
            break;
        }
        const IniLineKind kind =
            iniClassifyLine(line.text, nPluginData::kDescriptionFileFlags, nullptr);
        if (!found.empty()) {
            // A blank line after the first bad one: that one was not the last.
            return found;
        }
        number = reader->lineNumber();
        if (iniLineIsError(kind)) {
            found = "line " + std::to_string(number) + ": " + describeErrorLine(kind, line.text).message;
            if (kind != kIniLineBlank) {
                return found;
            }
        }
    }
    // A blank line that ends the file is the line break after the last one.
    return found.empty() ? found : "line " + std::to_string(number) + ": " + kEmptyLastLineMessage;
}
