// Why a line of a description file breaks the format, in the words an
// administrator reads in the checker's report and in the service's journal
// record of a file it could not parse: both come from here, so they agree.
//
// Free functions without state, safe on any thread; nothing throws but
// std::bad_alloc.
#ifndef ZOKORVO_PLUGINS_DESCRIPTIONLINEERROR_H
#define ZOKORVO_PLUGINS_DESCRIPTIONLINEERROR_H

#include <cstdint>
#include <string>

#include "ini/IniFile.h"

// A bad line as the format rules name it.
struct tDescriptionLineError {
    const char* kind;     // "blank-line", "hash-comment", "no-equals-sign", ...
    std::string message;  // what is wrong with it, quoting the line
};

// The error of `line`, which the INI reader classified as the error line
// `lineKind` under the service's flags.
tDescriptionLineError describeErrorLine(IniLineKind lineKind, const char* line);

// The message of a blank line that is the file's last: a second line break
// at its end.
extern const char kEmptyLastLineMessage[];

// The first bad line of a description file's bytes, as the service reads
// them: "line 5: empty or white-space-only line: ...". Empty when every
// line is good or the bytes cannot be split (no memory).
std::string firstErrorLineOf(const std::string& bytes);

#endif  // ZOKORVO_PLUGINS_DESCRIPTIONLINEERROR_H
