// The machine's shared-data directory and the whole-file read behind it.
//
// The directory is named by a one-line pointer file; when that file cannot
// be read the fixed default is used, and that failure is never reported.
// readWholeFile reports its failures in the status it is given (-52006 when
// the file cannot be opened, -52008 for a failed size query or a short read,
// -52000 when the buffer cannot grow) with a JSON detail; getShareDirectory
// throws zoerr::Exception only if its own status holds an error.
// Only regular files are read: a directory, FIFO, socket or device at the
// path counts as a file that cannot be opened, and opening never blocks.
// Stateless; safe on any thread.
#ifndef ZOSYSQ_STDPATH_H
#define ZOSYSQ_STDPATH_H

#include <cstdint>
#include <string>

#include "zoerr/Status.h"
#include "zohtl/err/Allocator.h"

namespace zosysq {

// Both are fixed when the executable is built.
extern const char* const kSharePointerFile;
extern const char* const kDefaultShareDirectory;

// An operating-system error captured right after the failing call: the
// errno value and its text from the GNU strerror_r, which either returns a
// static text or writes into `buffer`. Not copyable: `text` may point into
// the object itself.
struct ErrnoText {
    explicit ErrnoText(int value);
    ErrnoText(const ErrnoText&) = delete;
    ErrnoText& operator=(const ErrnoText&) = delete;

    int32_t errnoValue;
    char buffer[256];
    const char* text;
};

// Sets `out` to the shared-data directory; throws zoerr::Exception when its
// own status holds an error afterwards (which a normal run never does).
void getShareDirectory(std::string& out);

// Sets `out` to the trimmed text of the pointer file, or to the default
// directory when the file cannot be read. Does nothing when `status` already
// holds an error; never changes `status`.
void readShareDirectory(std::string& out, zoerr::Status& status);

// Reads the whole regular file at `path` into `out`: afterwards `out.size`
// is the file length plus one and the last byte is NUL. Failures are
// reported in `status` only; nothing is done while it holds an error.
void readWholeFile(const char* path, zohtl::ByteVector& out, zoerr::Status& status);

// Removes trailing white space, NUL and '/' characters, then leading white
// space; what lies between stays as it is.
void trimShareDirectory(std::string& text);

}  // namespace zosysq

#endif  // ZOSYSQ_STDPATH_H
