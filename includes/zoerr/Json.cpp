#include "zoerr/Json.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zoerr {
namespace {

constexpr uint32_t kMinimumBufferSize = 512;
constexpr int64_t kMaxJsonLength = 2147483645;  // leaves room for NUL and sentinel
constexpr char kSentinel = 'J';

// Lays out `text` in `buffer` of `size` bytes: text, NUL fill, sentinel.
void writeBufferFormat(char* buffer, uint32_t size, const char* text, size_t length) {
    memcpy(buffer, text, length);
    memset(buffer + length, 0, size - length - 1);
    buffer[size - 1] = kSentinel;
}

uint32_t bufferSizeFor(int32_t byteCount) {
    uint32_t size = kMinimumBufferSize;
    while (size < static_cast<uint32_t>(byteCount)) {
        size *= 2;
    }
    return size;
}

// Bytes strictly between the text's terminating NUL and the sentinel.
size_t freeRoom(const char* point) {
    const char* end = point + strlen(point);
    size_t room = 0;
    for (const char* p = end + 1; *p == '\0'; ++p) {
        ++room;
    }
    return room;
}

const char* shortEscape(unsigned char c) {
    switch (c) {
        case '\b':
            return "\\b";
        case '\t':
            return "\\t";
        case '\n':
            return "\\n";
        case '\f':
            return "\\f";
        case '\r':
            return "\\r";
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        default:
            return nullptr;
    }
}

// Control characters without a short escape are written as \u00XX so that
// the detail text stays valid JSON.
size_t escapedLength(const char* text) {
    size_t length = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (shortEscape(*p) != nullptr) {
            length += 2;
        } else if (*p < 0x20) {
            length += 6;
        } else {
            length += 1;
        }
    }
    return length;
}

char* writeEscaped(char* out, const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (const char* escape = shortEscape(*p)) {
            *out++ = escape[0];
            *out++ = escape[1];
        } else if (*p < 0x20) {
            snprintf(out, 7, "\\u%04x", *p);
            out += 6;
        } else {
            *out++ = static_cast<char>(*p);
        }
    }
    return out;
}

char* writeKey(char* out, const char* key) {
    *out++ = '"';
    out = writeEscaped(out, key);
    *out++ = '"';
    *out++ = ':';
    return out;
}

// Inserts "key":<raw> where `raw` is already JSON (a number or "{}").
char* addRawMember(char* point, const char* key, const char* raw) {
    if (point == nullptr) {
        return nullptr;
    }
    size_t rawLength = strlen(raw);
    char* at = json::makeRoom(point, escapedLength(key) + 3 + rawLength);
    if (at == nullptr) {
        return nullptr;
    }
    char* out = writeKey(at, key);
    memcpy(out, raw, rawLength);
    return out + rawLength;
}

// The lenient structural parser behind findContainerEnd. Each function
// returns the position after what it consumed, or null.
class ContainerParser {
  public:
    const char* value(const char* p, int depth) {
        if (*p == '"')
            return string(p);
        if (*p == '-' || (*p >= '0' && *p <= '9'))
            return number(p);
        if (*p == '{' || *p == '[') {
            const char* end = container(p, depth + 1);
            return end == nullptr ? nullptr : end + 1;
        }
        if (strncmp(p, "true", 4) == 0)
            return p + 4;
        if (strncmp(p, "false", 5) == 0)
            return p + 5;
        if (strncmp(p, "null", 4) == 0)
            return p + 4;
        return nullptr;
    }

    // Returns the container's closing bracket.
    const char* container(const char* p, int depth) {
        if (depth > kMaxJsonDepth) {
            return nullptr;
        }
        const char close = *p == '{' ? '}' : ']';
        const bool isObject = close == '}';
        p = skipWhitespace(p + 1);
        if (*p == close) {
            return p;
        }
        for (;;) {
            if (isObject) {
                if (*p != '"' || (p = string(p)) == nullptr)
                    return nullptr;
                p = skipWhitespace(p);
                if (*p != ':')
                    return nullptr;
                p = skipWhitespace(p + 1);
            }
            if ((p = value(p, depth)) == nullptr)
                return nullptr;
            p = skipWhitespace(p);
            if (*p == close)
                return p;
            if (*p != ',')
                return nullptr;
            p = skipWhitespace(p + 1);
        }
    }

  private:
    static const char* skipWhitespace(const char* p) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
            ++p;
        }
        return p;
    }

    static bool isHexDigit(char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    static const char* digits(const char* p) {
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        return p;
    }

    static const char* string(const char* p) {
        for (++p;; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"')
                return p + 1;
            if (c < 0x20)
                return nullptr;  // includes the text's end
            if (c != '\\')
                continue;
            ++p;
            if (*p == 'u') {
                for (int i = 1; i <= 4; ++i) {
                    if (!isHexDigit(p[i]))
                        return nullptr;
                }
                p += 4;
            } else if (strchr("\"/\\bfnrt", *p) == nullptr || *p == '\0') {
                return nullptr;
            }
        }
    }

    static const char* number(const char* p) {
        if (*p == '-')
            ++p;
        p = digits(p);
        if (*p == '.')
            p = digits(p + 1);
        if ((*p == 'e' || *p == 'E') &&
            (p[1] == '+' || p[1] == '-' || (p[1] >= '0' && p[1] <= '9'))) {
            p = digits(p + 2);
        }
        return p;
    }
};

}  // namespace

bool mallocResize(Status& status, int32_t byteCount) {
    if (byteCount == 0) {
        free(status.json);
        status.json = nullptr;
        status.capacity = 0;
        return true;
    }
    if (byteCount < 0) {
        return false;
    }
    if (static_cast<uint32_t>(byteCount) <= status.capacity) {
        return true;
    }
    const uint32_t size = bufferSizeFor(byteCount);
    char* buffer = static_cast<char*>(malloc(size));
    if (buffer == nullptr) {
        return false;
    }
    const char* text = status.json != nullptr ? status.json : "{}";
    writeBufferFormat(buffer, size, text, strlen(text));
    free(status.json);
    status.json = buffer;
    status.capacity = size;
    return true;
}

char* Status::setJson(const char* text) {
    if (text == nullptr) {
        text = "{}";
    }
    const size_t length = strlen(text);
    if (length > static_cast<size_t>(kMaxJsonLength)) {
        return nullptr;
    }
    if (capacity < length + 2 && !resize(*this, static_cast<int32_t>(length + 2))) {
        return nullptr;
    }
    if (json == nullptr || capacity < length + 2) {
        return nullptr;
    }
    writeBufferFormat(json, capacity, text, length);
    return json + length - 1;
}

char* Status::reserveJson(int64_t n) {
    if (n < 0 || n > kMaxJsonLength) {
        return nullptr;
    }
    if (capacity < n + 2 && !resize(*this, static_cast<int32_t>(n + 2))) {
        return nullptr;
    }
    return json == nullptr ? nullptr : findContainerEnd(json);
}

char* findContainerEnd(const char* text) {
    if (text == nullptr || (*text != '{' && *text != '[')) {
        return nullptr;
    }
    return const_cast<char*>(ContainerParser().container(text, 1));
}

namespace json {

char* makeRoom(char* point, size_t n) {
    if (point == nullptr) {
        return nullptr;
    }
    bool needsComma = false;
    if (*point == '}' || *point == ']') {
        const char open = *point == '}' ? '{' : '[';
        const char* p = point - 1;
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
            --p;
        }
        needsComma = *p != open;
    }
    if (needsComma) {
        ++n;
    }
    if (freeRoom(point) < n) {
        return nullptr;
    }
    const size_t rest = strlen(point);
    memmove(point + n, point, rest);
    point[n + rest] = '\0';
    if (needsComma) {
        *point = ',';
        return point + 1;
    }
    return point;
}

char* addString(char* point, const char* key, const char* value) {
    if (point == nullptr) {
        return nullptr;
    }
    char* at = makeRoom(point, escapedLength(key) + 3 + escapedLength(value) + 2);
    if (at == nullptr) {
        return nullptr;
    }
    char* out = writeKey(at, key);
    *out++ = '"';
    out = writeEscaped(out, value);
    *out++ = '"';
    return out;
}

char* addInt(char* point, const char* key, int32_t value) {
    char scratch[64];
    snprintf(scratch, sizeof scratch, "%i", value);
    return addRawMember(point, key, scratch);
}

char* addUnsigned(char* point, const char* key, uint32_t value) {
    char scratch[64];
    snprintf(scratch, sizeof scratch, "%u", value);
    return addRawMember(point, key, scratch);
}

char* addSize(char* point, const char* key, uint64_t value) {
    char scratch[64];
    snprintf(scratch, sizeof scratch, "%lu", static_cast<unsigned long>(value));
    return addRawMember(point, key, scratch);
}

char* openObject(char* point, const char* key) {
    char* after = addRawMember(point, key, "{}");
    return after == nullptr ? nullptr : after - 1;
}

char* closeObject(char* point) {
    return point == nullptr ? nullptr : point + 1;
}

}  // namespace json

char* growAndRebase(char* cursor, Status& status) {
    const char* oldBuffer = status.json;
    if (status.reserveJson(2 * static_cast<int64_t>(status.capacity) - 4) == nullptr) {
        return nullptr;
    }
    return status.json + (cursor - oldBuffer);
}

JsonWriter::JsonWriter(Status& target)
    : cursor(target.reserveJson(2)), grow(growAndRebase), status(&target) {}

template <typename Insert>
JsonWriter& JsonWriter::insertWithGrowth(Insert insert) {
    if (cursor == nullptr) {
        return *this;
    }
    if (char* next = insert(cursor)) {
        cursor = next;
        return *this;
    }
    while (grow != nullptr) {
        cursor = grow(cursor, *status);
        if (cursor == nullptr) {
            break;
        }
        if (char* next = insert(cursor)) {
            cursor = next;
            break;
        }
    }
    return *this;
}

JsonWriter& JsonWriter::addString(const char* key, const char* value) {
    return insertWithGrowth([&](char* at) { return json::addString(at, key, value); });
}

JsonWriter& JsonWriter::addInt(const char* key, int32_t value) {
    return insertWithGrowth([&](char* at) { return json::addInt(at, key, value); });
}

JsonWriter& JsonWriter::addUnsigned(const char* key, uint32_t value) {
    return insertWithGrowth([&](char* at) { return json::addUnsigned(at, key, value); });
}

JsonWriter& JsonWriter::addSize(const char* key, uint64_t value) {
    return insertWithGrowth([&](char* at) { return json::addSize(at, key, value); });
}

JsonWriter& JsonWriter::openObject(const char* key) {
    return insertWithGrowth([&](char* at) { return json::openObject(at, key); });
}

JsonWriter& JsonWriter::closeObject() {
    cursor = json::closeObject(cursor);
    return *this;
}

JsonWriter& JsonWriter::addSource(const char* file, int line, const char* component) {
    addString("file", file).addInt("line", line);
    if (component != nullptr) {
        addString("component", component);
    }
    return *this;
}

}  // namespace zoerr
