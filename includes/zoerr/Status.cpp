#include "zoerr/Status.h"

#include <new>

#include "zoerr/Json.h"

namespace zoerr {

bool takesPrecedence(int64_t held, int64_t offered) {
    if (offered != 0 && held == 0) {
        return true;
    }
    return offered < 0 && held > 0;  // an error replaces a warning
}

Status::~Status() {
    code = 0;
    resize(*this, 0);
}

bool Status::setCode(int32_t newCode) {
    if (!takesPrecedence(code, newCode)) {
        return false;
    }
    code = newCode;
    // No detail of the replaced code may survive.
    if (json != nullptr) {
        setJson(nullptr);
    }
    return true;
}

bool Status::assign(Status& source) {
    if (!setCode(source.code)) {
        return false;
    }
    if (resize == source.resize) {
        resize(*this, 0);
        capacity = source.capacity;
        json = source.json;
        source.capacity = 0;
        source.json = nullptr;
    } else {
        setJson(source.json);
    }
    return true;
}

ThrowingStatus::ThrowingStatus() : uncaughtAtCreation(std::uncaught_exceptions()) {}

ThrowingStatus::~ThrowingStatus() noexcept(false) {
    // A second failure while another exception propagates is lost on
    // purpose: throwing now would terminate the process.
    if (code >= 0 || std::uncaught_exceptions() > uncaughtAtCreation) {
        return;
    }
    // The exception takes the code and the detail over.
    throw Exception(*this);
}

ExceptionBase::ExceptionBase(const ExceptionBase& other) noexcept {
    status.assign(other.status);
}

ExceptionBase::~ExceptionBase() = default;

const char* ExceptionBase::what() const noexcept {
    return status.json;
}

Exception::Exception(Status& source) {
    status.assign(source);
}

Exception::Exception(const Exception& other) noexcept
    : ExceptionBase(other), std::exception(other) {}

Exception::~Exception() = default;

const char* Exception::what() const noexcept {
    return status.json;
}

int32_t codeFromCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const ExceptionBase& exception) {
        return exception.status.code;
    } catch (const std::exception&) {
        return kSoftwareFault;
    }
}

int32_t codeOfDroppedException(const char* why) noexcept {
    static_cast<void>(why);  // said at the call site, for its reader
    try {
        return codeFromCurrentException();
    } catch (...) {
        // Only a non-standard exception gets here, and the callers catch
        // std::exception alone: it cannot be the one being handled.
        return kSoftwareFault;
    }
}

void raise(int32_t code, const char* errorConstant, const char* file, int line) {
    Status status;
    if (status.setCode(code)) {
        JsonWriter(status)
            .addString("error_constant", errorConstant)
            .addSource(file, line, kComponentName);
    }
    throw Exception(status);
}

}  // namespace zoerr
