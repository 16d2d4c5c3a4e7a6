// The fixed-size status record of the platform layer (the shared-library and
// synchronisation wrappers).
//
// A record holds a 64-bit code and, when it is a full record (size at least
// kQelStatusFullSize), the component, source file and line of the first
// error in fixed character fields. It follows the same merge rule as
// zoerr::Status: the first error wins, an error replaces a warning, success
// never overwrites. ThrowingStatusRecord raises a zoerr::Exception carrying
// the code and a "file", "line", "component" detail when it leaves its scope
// holding an error.
//
// Records are plain values created on the stack by their user; nothing is
// shared, nothing is locked.
#ifndef ZOQEL_STATUSRECORD_H
#define ZOQEL_STATUSRECORD_H

#include <cstdint>

namespace zoqel {

constexpr uint64_t kQelStatusFullSize = 216;

struct StatusRecord {
    StatusRecord();

    // Applies the merge rule; when the code is taken by a full record, also
    // stores component (at most 9 characters) and file (at most 100; a
    // longer path keeps its first and last 49 characters around "..").
    bool setCode(int64_t newCode, const char* componentName, const char* fileName,
                 uint64_t lineNumber);

    uint64_t size;
    int64_t code;
    char component[10];
    char file[101];
    uint64_t line;
    uint64_t reserved;
    char unused[72];  // pads the record to its declared size
};

static_assert(sizeof(StatusRecord) == kQelStatusFullSize, "a full record is 216 bytes");

class ThrowingStatusRecord : public StatusRecord {
  public:
    ThrowingStatusRecord();
    ~ThrowingStatusRecord() noexcept(false);

  private:
    int uncaughtAtCreation;
};

}  // namespace zoqel

#endif  // ZOQEL_STATUSRECORD_H
