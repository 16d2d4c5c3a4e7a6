#include "zohtl/err/Allocator.h"

#include <cstdlib>
#include <cstring>

#include "zoerr/Json.h"

namespace zohtl {
namespace {

void raiseOutOfMemory(zoerr::Status& status) {
    if (status.setCode(zoerr::kOutOfMemory)) {
        zoerr::JsonWriter(status)
            .addString("error_constant", "-52000")
            .addSource(__FILE__, __LINE__, zoerr::kComponentName);
    }
}

void raiseInvalidPosition(zoerr::Status& status) {
    if (status.setCode(zoerr::kInvalidParameter)) {
        zoerr::JsonWriter(status)
            .addString("error_constant", "zoqelerr_invalidParameter")
            .addSource(__FILE__, __LINE__, zoerr::kComponentName);
    }
}

// At least doubles, so that byte-by-byte growth stays amortised linear;
// a capacity past half the address range cannot double and asks for the
// required size alone.
uint64_t grownCapacity(uint64_t capacity, uint64_t required) {
    const uint64_t doubled = capacity <= UINT64_MAX / 2 ? capacity * 2 : required;
    const uint64_t grown = doubled > required ? doubled : required;
    return grown > 0 ? grown : 1;
}

}  // namespace

ByteVector::~ByteVector() {
    free(data);
}

void ByteVector::insert(uint64_t position, uint64_t count, char value, zoerr::Status& status) {
    if (status.isError() || count == 0) {
        return;
    }
    if (position > size) {
        raiseInvalidPosition(status);
        return;
    }
    if (count > UINT64_MAX - size) {
        raiseOutOfMemory(status);
        return;
    }
    if (size + count > capacity) {
        insertIntoNewStorage(position, count, value, status);
        return;
    }
    memmove(data + position + count, data + position, size - position);
    memset(data + position, value, count);
    size += count;
}

void ByteVector::insertIntoNewStorage(uint64_t position, uint64_t count, char value,
                                      zoerr::Status& status) {
    const uint64_t newCapacity = grownCapacity(capacity, size + count);
    char* storage = newCapacity <= SIZE_MAX ? static_cast<char*>(malloc(newCapacity)) : nullptr;
    if (storage == nullptr) {
        raiseOutOfMemory(status);
        return;
    }
    if (position > 0) {
        memcpy(storage, data, position);
    }
    memset(storage + position, value, count);
    if (size > position) {
        memcpy(storage + position + count, data + position, size - position);
    }
    free(data);
    data = storage;
    capacity = newCapacity;
    size += count;
}

}  // namespace zohtl
