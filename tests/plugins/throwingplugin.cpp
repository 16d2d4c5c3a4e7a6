// A test plugin written in C++, whose entry points throw as such a plugin
// may: ThrowingInit from Initialize and ThrowingStop from Stop an int, an
// exception that is not a standard exception; ThrowingStandardStop from Stop
// a standard exception. The passes must fail that plugin's step alone.
#include <cstdint>
#include <stdexcept>

extern "C" int32_t ThrowingInit();
extern "C" void ThrowingStop();
extern "C" void ThrowingStandardStop();

extern "C" int32_t ThrowingInit() {
    throw 7;
}

extern "C" void ThrowingStop() {
    throw 7;
}

extern "C" void ThrowingStandardStop() {
    throw std::runtime_error("the device went away");
}
