// A test plugin whose Initialize throws an exception that is not a standard
// exception, as a plugin written in C++ may; the start pass must let it
// through and keep only the records of the plugins processed before it.
#include <cstdint>

extern "C" int32_t ThrowingInit();

extern "C" int32_t ThrowingInit() {
    throw 7;
}
