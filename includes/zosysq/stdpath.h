// The machine's shared-data directory and the whole-file read behind it.
//
// The directory is named by a one-line pointer file; when that file cannot
// be read the fixed default is used, and that failure is never reported.
// readWholeFile reports its failures in the status it is given (-52006 when
// the file cannot be opened, -52008 for a short read, -52000 when the buffer
// cannot grow) with a JSON detail; getShareDirectory throws zoerr::Exception
// only if its own status holds an error. Stateless; safe on any thread.
#ifndef ZOSYSQ_STDPATH_H
#define ZOSYSQ_STDPATH_H

namespace zosysq {

// Both are fixed when the executable is built.
extern const char* const kSharePointerFile;
extern const char* const kDefaultShareDirectory;

}  // namespace zosysq

#endif  // ZOSYSQ_STDPATH_H
