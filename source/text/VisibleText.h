// Text from files and file names made safe to show on one line: the status
// file and the checker's report write names that another program chose, and a
// line feed in one would forge lines of its own, an escape character would
// reach the administrator's terminal.
//
// Every C0 control character and DEL is written as a visible escape: "\n",
// "\r", "\t", and "\x1b" (two lower-case hexadecimal digits) for the others.
// Every other byte, a backslash included, is kept as it is, so text without
// control characters reads exactly as before. Pure functions; only
// std::bad_alloc leaves.
#ifndef ZOKORVO_VISIBLETEXT_H
#define ZOKORVO_VISIBLETEXT_H

#include <string>

class tTextAppender;

// Appends `text` to `out` with its control characters escaped.
void appendVisible(std::string& out, const std::string& text);
void appendVisible(tTextAppender& out, const std::string& text);

// `text` with its control characters escaped.
std::string visible(const std::string& text);

#endif  // ZOKORVO_VISIBLETEXT_H
