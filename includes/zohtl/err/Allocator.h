// zohtl::ByteVector: a growable byte buffer that reports allocation failure
// into a zoerr::Status instead of throwing.
//
// The vector owns `data` (malloc'ed, released with free) and frees it when
// destroyed; it is neither copyable nor movable, so nothing else ever frees
// it. `size` bytes are in use out of `capacity` allocated; `data` is null
// until the first allocation. Callers may read and write the bytes in use
// directly and may lower `size` to drop bytes at the end.
// Failures: insert does nothing when the status already holds an error, and
// raises -52000 (growth impossible) or -52005 (position past the end) into
// it, leaving the vector as it was. Not thread-safe: one owner at a time.
#ifndef ZOHTL_ERR_ALLOCATOR_H
#define ZOHTL_ERR_ALLOCATOR_H

#include <cstdint>

#include "zoerr/Status.h"

namespace zohtl {

class ByteVector {
  public:
    ByteVector() = default;
    ~ByteVector();
    ByteVector(const ByteVector&) = delete;
    ByteVector& operator=(const ByteVector&) = delete;

    // Inserts `count` copies of `value` before the byte at `position`
    // (`position` == size appends). Growth at least doubles the capacity.
    void insert(uint64_t position, uint64_t count, char value, zoerr::Status& status);

    uint64_t capacity = 0;
    uint64_t size = 0;
    char* data = nullptr;

  private:
    void insertIntoNewStorage(uint64_t position, uint64_t count, char value, zoerr::Status& status);
};

}  // namespace zohtl

#endif  // ZOHTL_ERR_ALLOCATOR_H
