#include "zoqel/StatusRecord.h"

#include <cstring>
#include <exception>

#include "zoerr/Json.h"
#include "zoerr/Status.h"

namespace zoqel {
namespace {

constexpr size_t kKeptPathEnds = 49;

// A bounded copy that pads with NULs and always ends in one.
void copyBounded(char* field, size_t fieldSize, const char* text) {
    const size_t length = strnlen(text, fieldSize - 1);
    memcpy(field, text, length);
    memset(field + length, 0, fieldSize - length);
}

// A path too long for the field keeps both ends, which name the directory
// and the file.
void storeFileName(char (&field)[101], const char* fileName) {
    copyBounded(field, sizeof field, fileName);
    const size_t length = strlen(fileName);
    if (length > sizeof field - 1) {
        memcpy(field, fileName, kKeptPathEnds);
        memcpy(field + kKeptPathEnds, "..", 2);
        memcpy(field + kKeptPathEnds + 2, fileName + length - kKeptPathEnds, kKeptPathEnds);
        field[2 * kKeptPathEnds + 2] = '\0';
    }
}

// The platform record's detail is written without growth: a member that
// does not fit is left out.
void writeDetail(const StatusRecord& record, zoerr::Status& status) {
    if (record.size < kQelStatusFullSize) {
        return;
    }
    if (record.file[0] != '\0') {
        char* point = zoerr::json::addString(status.reserveJson(256), "file", record.file);
        if (point != nullptr) {
            zoerr::json::addUnsigned(point, "line", static_cast<uint32_t>(record.line));
        }
    }
    if (record.component[0] != '\0') {
        zoerr::json::addString(status.reserveJson(256), "component", record.component);
    }
}

}  // namespace

StatusRecord::StatusRecord() : size(kQelStatusFullSize), code(0), unused{} {
    component[0] = '\0';
    file[0] = '\0';
    line = 0;
    reserved = 0;
}

bool StatusRecord::setCode(int64_t newCode, const char* componentName, const char* fileName,
                           uint64_t lineNumber) {
    if (!zoerr::takesPrecedence(code, newCode)) {
        return false;
    }
    code = newCode;
    if (size < kQelStatusFullSize) {
        return true;
    }
    copyBounded(component, sizeof component, componentName);
    storeFileName(file, fileName);
    line = lineNumber;
    reserved = 0;
    return true;
}

ThrowingStatusRecord::ThrowingStatusRecord() : uncaughtAtCreation(std::uncaught_exceptions()) {}

ThrowingStatusRecord::~ThrowingStatusRecord() noexcept(false) {
    if (code >= 0 || std::uncaught_exceptions() > uncaughtAtCreation) {
        return;
    }
    zoerr::Status status;
    status.setCode(static_cast<int32_t>(code));
    writeDetail(*this, status);
    throw zoerr::Exception(status);
}

}  // namespace zoqel
