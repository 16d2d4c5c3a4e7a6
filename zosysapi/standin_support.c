/* Environment settings, the live reference count and the trace file of the
 * stand-in library. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "standin.h"

static uint32_t liveReferences;

/* Parses the whole of text as a decimal number within [minimum, maximum]. */
static int parseWholeNumber(const char* text, long long minimum, long long maximum,
                            long long* value) {
    if (text == NULL || *text == '\0') {
        return -1;
    }
    char* end = NULL;
    errno = 0;
    long long parsed = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) {
        return -1;
    }
    *value = parsed;
    return 0;
}

uint32_t standinFailAttempts(void) {
    int savedErrno = errno;
    long long attempts = 0;
    if (parseWholeNumber(getenv("ZOSYSAPI_FAIL_ATTEMPTS"), 0, UINT32_MAX, &attempts) != 0) {
        attempts = 0;
    }
    errno = savedErrno;
    return (uint32_t)attempts;
}

int standinSettingErrorRequested(void) {
    const char* requested = getenv("ZOSYSAPI_SETTING_ERROR");
    return requested != NULL && strcmp(requested, "1") == 0;
}

int standinDeploymentValue(int32_t* value) {
    const char* text = getenv("ZOSYSAPI_DEPLOYMENT");
    if (text == NULL) {
        *value = 1;
        return 0;
    }
    int savedErrno = errno;
    long long parsed = 0;
    int result = parseWholeNumber(text, INT32_MIN, INT32_MAX, &parsed);
    errno = savedErrno;
    *value = (int32_t)parsed;
    return result;
}

uint32_t standinLiveReferences(void) {
    return __atomic_load_n(&liveReferences, __ATOMIC_SEQ_CST);
}

void standinAddLiveReferences(int32_t change) {
    __atomic_add_fetch(&liveReferences, (uint32_t)change, __ATOMIC_SEQ_CST);
}

/* The service runs as root: a link planted at the trace file's name, or a
 * file (or FIFO) someone else put there, must never receive root's lines. */
static int openTraceFile(const char* path) {
    int fd = open(
        path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid())) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void standinTrace(const char* format, ...) {
    const char* path = getenv("ZOSYSAPI_TRACE");
    if (path == NULL || *path == '\0') {
        return;
    }
    int savedErrno = errno;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0) {
        length = 0;
    }
    /* The live count ends every line, so a long call text is cut, not the count. */
    const size_t suffixRoom = 24;
    size_t textLength = (size_t)length;
    if (textLength > sizeof line - suffixRoom) {
        textLength = sizeof line - suffixRoom;
    }
    textLength += (size_t)snprintf(line + textLength, sizeof line - textLength, " live=%u\n",
                                   standinLiveReferences());
    int fd = openTraceFile(path);
    if (fd >= 0) {
        ssize_t written = write(fd, line, textLength);
        (void)written;
        close(fd);
    }
    errno = savedErrno;
}

void standinNarrowForTrace(const wchar_t* text, char* out, size_t size) {
    if (text == NULL) {
        snprintf(out, size, "(null)");
        return;
    }
    size_t used = 0;
    for (; text[used] != L'\0' && used + 1 < size; ++used) {
        const wchar_t c = text[used];
        out[used] = '?';
        if (c >= 0x20 && c < 0x7F) {
            out[used] = (char)c;
        }
    }
    out[used] = '\0';
}
