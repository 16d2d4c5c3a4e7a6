#include "zosysq/stdpath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zoerr/Json.h"

namespace zosysq {
namespace {

// The errno reported for something at the path that is not a regular file.
int errnoForNonRegular(mode_t mode) {
    return S_ISDIR(mode) ? EISDIR : EINVAL;
}

bool isRegularFile(int descriptor) {
    struct stat info;
    if (fstat(descriptor, &info) != 0) {
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = errnoForNonRegular(info.st_mode);
        return false;
    }
    return true;
}

// Opens `path` for reading only when it is a regular file; null with errno
// set otherwise. A directory would "open" and then yield a bogus length, a
// FIFO would block the open until a writer came, and a device could be read
// forever. The stat keeps devices from being opened at all; O_NONBLOCK and
// the fstat cover a FIFO or device swapped in after the stat.
FILE* openRegularFile(const char* path) {
    struct stat info;
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (stat(path, &info) != 0) {
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = errnoForNonRegular(info.st_mode);
        return nullptr;
    }
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    FILE* file = isRegularFile(descriptor) ? fdopen(descriptor, "rb") : nullptr;
    if (file == nullptr) {
        const int savedErrno = errno;
        close(descriptor);
        errno = savedErrno;
    }
    return file;
}

void addInternalError(zoerr::JsonWriter& writer, const ErrnoText& error) {
    writer.openObject("internal_error").addString("api", "errno").addInt("code", error.errnoValue);
    if (error.text != nullptr) {
        writer.addString("string", error.text);
    }
    writer.closeObject();
}

// Writes the detail shared by every file failure, up to the open
// "zosysq_debug" object with its "desc"; the caller adds the site's facts.
// Call only when the status took the code.
zoerr::JsonWriter writeFileFailure(zoerr::Status& status, const char* errorConstant, int line,
                                   int errnoValue, const char* desc) {
    const ErrnoText error(errnoValue);
    zoerr::JsonWriter writer(status);
    writer.addString("error_constant", errorConstant)
        .addSource(__FILE__, line, zoerr::kComponentName);
    addInternalError(writer, error);
    writer.openObject("zosysq_debug").addString("desc", desc);
    return writer;
}

// Seeks to the end and back; false (with the status set) when the
// position cannot be had, so that no length is ever made up.
bool measureLength(FILE* file, const char* path, uint64_t& length, zoerr::Status& status) {
    errno = 0;
    const long end = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    const int savedErrno = errno;
    rewind(file);
    if (end >= 0) {
        length = static_cast<uint64_t>(end);
        return true;
    }
    if (status.setCode(zoerr::kOsFault)) {
        writeFileFailure(status, "qelStatusOSFault", __LINE__, savedErrno,
                         "cannot determine file size")
            .addString("filename", path);
    }
    return false;
}

// Makes out.size == size: shrinking keeps the storage, growing appends NULs.
void resizeBuffer(zohtl::ByteVector& out, uint64_t size, zoerr::Status& status) {
    if (out.size > size) {
        out.size = size;
    } else {
        out.insert(out.size, size - out.size, '\0', status);
    }
}

void readContent(FILE* file, const char* path, uint64_t length, zohtl::ByteVector& out,
                 zoerr::Status& status) {
    errno = 0;
    const size_t got = fread(out.data, 1, length, file);
    const int savedErrno = errno;
    if (got < length && status.setCode(zoerr::kOsFault)) {
        writeFileFailure(status, "qelStatusOSFault", __LINE__, savedErrno,
                         "didn't read full content of file")
            .addSize("fileSize", length)
            .addSize("fread_return", got)
            .addString("filename", path);
    }
    out.data[length] = '\0';
}

bool isTrailingJunk(char c) {
    return c == '\0' || c == '/' || isspace(static_cast<unsigned char>(c));
}

}  // namespace

ErrnoText::ErrnoText(int value)
    : errnoValue(value), buffer{}, text(strerror_r(value, buffer, sizeof buffer)) {}

void readWholeFile(const char* path, zohtl::ByteVector& out, zoerr::Status& status) {
    FILE* file = openRegularFile(path);
    if (file == nullptr) {
        const int savedErrno = errno;
        if (status.setCode(zoerr::kResourceNotFound)) {
            writeFileFailure(status, "qelStatusResourceNotFound", __LINE__, savedErrno,
                             "error opening file")
                .addString("filename", path != nullptr ? path : "");
        }
        return;
    }
    uint64_t length = 0;
    if (!status.isError() && measureLength(file, path, length, status)) {
        resizeBuffer(out, length + 1, status);
    }
    if (!status.isError()) {
        readContent(file, path, length, out, status);
    }
    fclose(file);
}

void trimShareDirectory(std::string& text) {
    size_t end = text.size();
    while (end > 0 && isTrailingJunk(text[end - 1])) {
        --end;
    }
    text.erase(end);
    size_t begin = 0;
    while (begin < text.size() && isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    text.erase(0, begin);
}

void readShareDirectory(std::string& out, zoerr::Status& status) {
    if (status.isError()) {
        return;
    }
    // A pointer file that cannot be read is not an error of the caller's:
    // the default directory stands in for it.
    zoerr::Status readStatus;
    zohtl::ByteVector content;
    readWholeFile(kSharePointerFile, content, readStatus);
    if (readStatus.isError()) {
        out = kDefaultShareDirectory;
        return;
    }
    out.assign(content.data, content.size);
    trimShareDirectory(out);
}

void getShareDirectory(std::string& out) {
    zoerr::ThrowingStatus status;
    readShareDirectory(out, status);
}

}  // namespace zosysq
