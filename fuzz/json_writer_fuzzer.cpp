// Drives the JSON detail engine through zoerr::JsonWriter with a program read
// from the input: members with arbitrary keys and values, nested objects,
// and strings long enough to make the buffer grow several times. Besides the
// sanitizers' checks, after every program:
//   - the writer still has a cursor (growth never fails at these sizes);
//   - the buffer keeps its format: text, NUL fill, the sentinel 'J' last;
//   - findContainerEnd() finds the text's last character, the outer '}';
//   - a strict JSON parser reads the text as exactly the object the program
//     wrote, members in order (a key written twice keeps its first place
//     and its last value, as JSON parsers treat duplicates).
//
// Strings are made valid UTF-8 before they reach the writer: the engine
// copies bytes above 127 unchanged and never looks at them, so ill-formed
// sequences exercise nothing of it, while a strict parser rightly rejects
// them (and nlohmann::json has no lenient parsing mode; its error handler
// only governs output). Control characters stay: the engine must escape them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reports/TextEscaping.h"
#include "zoerr/Json.h"
#include "zoerr/Status.h"

namespace {

using tModel = nlohmann::ordered_json;

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

// Reads the program: bytes, numbers and strings; past the end, zeros.
class tProgram {
  public:
    tProgram(const uint8_t* data, size_t size) : at(data), end(data + size) {}

    bool done() const { return at == end; }

    uint8_t byte() { return at < end ? *at++ : 0; }

    uint64_t number(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = value << 8 | byte();
        }
        return value;
    }

    // A length byte: its low six bits count the bytes taken, its high two
    // bits repeat them 1, 8, 64 or 512 times, so that a short input can
    // outgrow the buffer. Stops at a NUL, as the C string it becomes would.
    std::string string() {
        const uint8_t length = byte();
        std::string piece;
        for (int i = 0; i < (length & 0x3F) && !done(); ++i) {
            piece += static_cast<char>(byte());
        }
        piece = validUtf8(piece.substr(0, piece.find('\0')));
        std::string text;
        for (int repeat = 1 << ((length >> 6) * 3); repeat > 0; --repeat) {
            text += piece;
        }
        return text;
    }

  private:
    // Ill-formed bytes become U+FFFD, as in the service's machine-read reports.
    static std::string validUtf8(const std::string& text) {
        std::string out;
        appendValidUtf8(out, text);
        return out;
    }

    const uint8_t* at;
    const uint8_t* end;
};

// The writer and, beside it, the object it should have written.
class tSession {
  public:
    explicit tSession(zoerr::Status& status) : writer(status), model(tModel::object()) {
        open.push_back(&model);
    }

    void step(tProgram& program) {
        switch (program.byte() % 7) {
            case 0: {
                const std::string key = program.string();
                const std::string value = program.string();
                writer.addString(key.c_str(), value.c_str());
                member(key) = value;
                break;
            }
            case 1: {
                const std::string key = program.string();
                const auto value = static_cast<int32_t>(program.number(4));
                writer.addInt(key.c_str(), value);
                member(key) = value;
                break;
            }
            case 2: {
                const std::string key = program.string();
                const auto value = static_cast<uint32_t>(program.number(4));
                writer.addUnsigned(key.c_str(), value);
                member(key) = value;
                break;
            }
            case 3: {
                const std::string key = program.string();
                const uint64_t value = program.number(8);
                writer.addSize(key.c_str(), value);
                member(key) = value;
                break;
            }
            case 4: {
                const std::string key = program.string();
                // The validator refuses deeper nesting, documented as such.
                if (open.size() >= static_cast<size_t>(zoerr::kMaxJsonDepth)) {
                    break;
                }
                writer.openObject(key.c_str());
                tModel& nested = member(key);
                nested = tModel::object();
                open.push_back(&nested);
                break;
            }
            case 5:
                // Only a nested object may be closed: the outer one has no
                // enclosing object to move on to.
                if (open.size() > 1) {
                    writer.closeObject();
                    open.pop_back();
                }
                break;
            default: {
                const std::string file = program.string();
                const auto line = static_cast<int32_t>(program.number(4));
                const bool withComponent = program.byte() & 1;
                const std::string component = program.string();
                writer.addSource(file.c_str(), line, withComponent ? component.c_str() : nullptr);
                member("file") = file;
                member("line") = line;
                if (withComponent) {
                    member("component") = component;
                }
                break;
            }
        }
        require(writer.cursor != nullptr);
    }

    const tModel& written() const { return model; }

  private:
    tModel& member(const std::string& key) { return (*open.back())[key]; }

    zoerr::JsonWriter writer;
    tModel model;
    // The objects the cursor is in, the outermost first. Only the innermost
    // one grows, so pointers to the others stay valid.
    std::vector<tModel*> open;
};

void requireBufferFormat(const zoerr::Status& status) {
    require(status.json != nullptr && status.capacity >= 512);
    require((status.capacity & (status.capacity - 1)) == 0);
    const size_t length = strlen(status.json);
    require(length + 2 <= status.capacity);
    for (size_t i = length; i < status.capacity - 1; ++i) {
        require(status.json[i] == '\0');
    }
    require(status.json[status.capacity - 1] == 'J');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zoerr::Status status;
    tSession session(status);
    tProgram program(data, size);
    while (!program.done()) {
        session.step(program);
    }
    requireBufferFormat(status);
    const char* text = status.json;
    const size_t length = strlen(text);
    require(zoerr::findContainerEnd(text) == text + length - 1);
    require(text[length - 1] == '}');
    const tModel parsed = tModel::parse(text, nullptr, false);
    require(!parsed.is_discarded());
    require(parsed == session.written());
    return 0;
}
