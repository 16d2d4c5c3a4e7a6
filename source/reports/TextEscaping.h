// The text conventions the machine-read reports share: UTF-8 made valid, a
// JSON string, a Prometheus label value, an ISO 8601 UTC time.
//
// Plugin names and paths come from description files and may hold any byte
// but NUL. Both formats require UTF-8, so a byte that is not part of a
// valid UTF-8 sequence becomes U+FFFD, the replacement character, in either
// rendering; everything else passes unchanged apart from the format's own
// escapes. Each function appends to `out`. Pure functions: thread-safe,
// nothing throws but std::bad_alloc.
#ifndef ZOKORVO_REPORTS_TEXTESCAPING_H
#define ZOKORVO_REPORTS_TEXTESCAPING_H

#include <ctime>
#include <string>
#include <string_view>

class tTextAppender;

// `text` with every byte outside a valid UTF-8 sequence replaced by U+FFFD.
void appendValidUtf8(std::string& out, const std::string& text);

// A JSON string, quotes included: ", \ and control characters escaped.
void appendJsonString(std::string& out, const std::string& text);
void appendJsonString(tTextAppender& out, std::string_view text);

// A Prometheus label value without its quotes: \, " and line feed escaped.
void appendLabelValue(std::string& out, const std::string& text);
void appendLabelValue(tTextAppender& out, std::string_view text);

// "2026-12-08T06:44:05.123Z": `time` in UTC to the millisecond.
void appendIsoTime(std::string& out, const timespec& time);

#endif  // ZOKORVO_REPORTS_TEXTESCAPING_H
