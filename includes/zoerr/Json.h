// The JSON detail text of a status: its buffer format, the primitives that
// insert a member before the closing bracket of an object, the validator that
// finds that bracket, and the writer that appends members with growth.
//
// Buffer format: the text, one NUL, NUL fill, and the sentinel 'J' in the last
// byte. The primitives find their free room from any pointer into the text,
// so they need neither the capacity nor the status.
//
// Every primitive takes an insertion point (a closing bracket) and returns
// the point after what it wrote (again the enclosing closing bracket), or
// null when the room does not suffice; null in gives null out and a failed
// member leaves the text as it was. Not thread-safe: a buffer belongs to its
// status.
#ifndef ZOERR_JSON_H
#define ZOERR_JSON_H

#include <cstddef>
#include <cstdint>

#include "zoerr/Status.h"

namespace zoerr {

// Parses `text` (which must start with '{' or '[') as one JSON value and
// returns its closing bracket, or null when it is not valid. Never reads past
// the text's terminating NUL. Nesting deeper than kMaxJsonDepth fails.
constexpr int kMaxJsonDepth = 256;
char* findContainerEnd(const char* text);

namespace json {

char* makeRoom(char* point, size_t n);
char* addString(char* point, const char* key, const char* value);
char* addInt(char* point, const char* key, int32_t value);
char* addUnsigned(char* point, const char* key, uint32_t value);
char* addSize(char* point, const char* key, uint64_t value);
// Writes "key":{} and returns the new object's closing brace.
char* openObject(char* point, const char* key);
// From a nested object's closing brace to the enclosing one's.
char* closeObject(char* point);

}  // namespace json

// Called when an insertion finds too little room; returns the cursor in the
// grown buffer, or null.
using GrowFunction = char* (*)(char* cursor, Status& status);

// Doubles the status's buffer and moves the cursor to the same place in it.
char* growAndRebase(char* cursor, Status& status);

// An appending cursor on a status's detail text. Once an insertion fails
// for good the cursor is null and every later call does nothing; the status
// code is never affected.
class JsonWriter {
  public:
    explicit JsonWriter(Status& target);

    JsonWriter& addString(const char* key, const char* value);
    JsonWriter& addInt(const char* key, int32_t value);
    JsonWriter& addUnsigned(const char* key, uint32_t value);
    JsonWriter& addSize(const char* key, uint64_t value);
    JsonWriter& openObject(const char* key);
    JsonWriter& closeObject();
    // "file", "line" and, when component is not null, "component".
    JsonWriter& addSource(const char* file, int line, const char* component);

    char* cursor;
    GrowFunction grow;
    Status* status;

  private:
    template <typename Insert>
    JsonWriter& insertWithGrowth(Insert insert);
};

}  // namespace zoerr

#endif  // ZOERR_JSON_H
