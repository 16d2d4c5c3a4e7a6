// Feeds arbitrary text to zoerr::findContainerEnd, the validator that finds
// where the JSON detail engine inserts. The text lies in a heap buffer of
// exactly its size plus the terminating NUL, so that AddressSanitizer stops
// any read past the end. Besides that:
//   - a result points into the text at the bracket that closes the first one;
//   - every text that a strict JSON parser accepts (and whose nesting stays
//     within kMaxJsonDepth) is accepted too, with the result at its last
//     bracket: the validator is lenient, never stricter than JSON.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>

#include "zoerr/Json.h"

namespace {

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

bool isJsonWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The depth of nesting cannot exceed the number of opening brackets.
bool nestingWithinLimit(const char* text, size_t length) {
    const auto openings =
        std::count_if(text, text + length, [](char c) { return c == '{' || c == '['; });
    return openings <= zoerr::kMaxJsonDepth;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> buffer(new char[size + 1]);
    memcpy(buffer.get(), data, size);
    buffer[size] = '\0';
    const char* text = buffer.get();
    const size_t length = strlen(text);  // the validator sees up to the first NUL

    const char* end = zoerr::findContainerEnd(text);
    if (end != nullptr) {
        require(end > text && end < text + length);
        require(*end == (text[0] == '{' ? '}' : ']'));
    }

    const bool strictlyValid = (length > 0 && (text[0] == '{' || text[0] == '[')) &&
                               nlohmann::json::accept(text, text + length);
    if (strictlyValid && nestingWithinLimit(text, length)) {
        require(end != nullptr);
        require(std::all_of(end + 1, text + length, isJsonWhitespace));
    }
    return 0;
}
