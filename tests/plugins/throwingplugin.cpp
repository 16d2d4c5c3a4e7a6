// A test plugin whose entry points throw an exception that is not a standard
// exception, as a plugin written in C++ may: ThrowingInit from Initialize,
// ThrowingStop from Stop. The passes must fail that plugin's step alone.
#include <cstdint>

extern "C" int32_t ThrowingInit();
extern "C" void ThrowingStop();

extern "C" int32_t ThrowingInit() {
    throw 7;
}

extern "C" void ThrowingStop() {
    throw 7;
}
