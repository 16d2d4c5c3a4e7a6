// Status codes, the status that carries them, and the exception that carries a
// status up the stack.
//
// A status holds a signed 32-bit code (negative: error, positive: warning,
// zero: success) and an optional JSON detail text that says where and why the
// code was raised (see Json.h). Every status follows one merge rule: the first
// error wins, an error replaces a warning, success never overwrites anything.
//
// How a raising site reports: setCode(code); only when it returned true, write
// the detail with a JsonWriter ("error_constant", then addSource, then facts);
// then throw Exception(status), or let a ThrowingStatus leave its scope.
// Boundaries catch std::exception and map it with codeFromCurrentException(),
// or, where they give up on what failed, with codeOfDroppedException(why).
//
// Ownership: a status owns its detail buffer through its resize operation and
// frees it when destroyed; assign() moves the buffer to another status.
// Thread safety: a status belongs to the scope and thread that created it.
#ifndef ZOERR_STATUS_H
#define ZOERR_STATUS_H

#include <cstdint>
#include <exception>

namespace zoerr {

// The component name that every raising site of this program writes.
constexpr const char kComponentName[] = "zoKorvoRemoteService";

// Codes raised by this program.
constexpr int32_t kOutOfMemory = -52000;
constexpr int32_t kFeatureUnsupported = -52002;
constexpr int32_t kSoftwareFault = -52003;
constexpr int32_t kInvalidParameter = -52005;
constexpr int32_t kResourceNotFound = -52006;
constexpr int32_t kOsFault = -52008;
constexpr int32_t kInsufficientPermissions = -52026;

class Status;

// Owns the detail buffer of a status: called with a byte count to make the
// buffer at least that large, with 0 to free it. Returns false on failure.
using ResizeFunction = bool (*)(Status& status, int32_t byteCount);

// The resize operation of every status in this program: buffers start at
// 512 bytes and grow to the next power of two.
bool mallocResize(Status& status, int32_t byteCount);

// True when `offered` replaces `held` under the merge rule.
bool takesPrecedence(int64_t held, int64_t offered);

class Status {
  public:
    Status() = default;
    ~Status();
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;

    bool isError() const { return code < 0; }

    // Applies the merge rule; true when the code was taken. A taken code
    // resets an existing detail text to "{}".
    bool setCode(int32_t newCode);

    // Merges source's code into this status and, when it was taken, takes
    // the source's detail text over (the source is left without one).
    bool assign(Status& source);

    // Makes the detail hold `text` ("{}" for null). Returns a pointer to the
    // text's last character, or null when it does not fit.
    char* setJson(const char* text);

    // Makes room for `n` more bytes of detail and returns the insertion
    // point (the closing bracket of the text), or null.
    char* reserveJson(int64_t n);

    int32_t code = 0;
    uint32_t capacity = 0;
    ResizeFunction resize = mallocResize;
    char* json = nullptr;
};

// A status bound to a scope: leaving the scope with an error throws an
// Exception carrying it, unless an exception that was not yet propagating
// when the status was created is propagating now.
class ThrowingStatus : public Status {
  public:
    ThrowingStatus();
    ~ThrowingStatus() noexcept(false);

  private:
    int uncaughtAtCreation;
};

// The base of exceptions that carry a status. Not derived from
// std::exception; Exception joins both.
class ExceptionBase {
  public:
    ExceptionBase() = default;
    // Copying moves the detail text over: nothing is allocated, nothing throws.
    ExceptionBase(const ExceptionBase& other) noexcept;
    ExceptionBase& operator=(const ExceptionBase&) = delete;
    virtual ~ExceptionBase();
    virtual const char* what() const noexcept;

    // Mutable because copying an exception moves the detail text over.
    mutable Status status;
};

class Exception : public virtual ExceptionBase, public virtual std::exception {
  public:
    // Takes source's code and detail text over.
    explicit Exception(Status& source);
    Exception(const Exception& other) noexcept;
    ~Exception() override;

    // The JSON detail text, or null when there is none.
    const char* what() const noexcept override;
};

// Classifies the exception being handled; call only inside a catch block.
// std::bad_alloc: -52000; ExceptionBase: its code; other std::exception:
// -52003; anything else propagates out of the caller's handler.
int32_t codeFromCurrentException();

// For a boundary that handles the exception being handled by giving up on
// what failed: the code, as codeFromCurrentException() maps it, for the trace
// the caller leaves (a journal record, a message line). `why` says at the
// call site why nothing more can be done, so that no drop goes unexplained;
// every deliberate drop goes through here, so that they are found together.
// Call only inside a catch block of std::exception; never throws.
int32_t codeOfDroppedException(const char* why) noexcept;

// Raises `code` with the detail "error_constant", "file", "line",
// "component" from a fresh status.
[[noreturn]] void raise(int32_t code, const char* errorConstant, const char* file, int line);

}  // namespace zoerr

#define ZOERR_RAISE(code, errorConstant) ::zoerr::raise((code), (errorConstant), __FILE__, __LINE__)

#endif  // ZOERR_STATUS_H
